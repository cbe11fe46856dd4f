# Writes 20 columns x ROWS rows (10 000 by default: 200 000 cells, text and
# numbers) into a workbook with openpyxl, saves it, loads it again and reads
# every cell.
import os
import sys

try:
    import openpyxl
except ImportError:  # Debian's python3-openpyxl is seen by Debian's Python only
    if sys.executable != "/usr/bin/python3":
        os.execv("/usr/bin/python3", ["/usr/bin/python3"] + sys.argv)
    raise


def main():
    rows = int(sys.argv[1]) if len(sys.argv) > 1 else 10000
    path = "xlsx_rw_py.xlsx"
    wb = openpyxl.Workbook()
    ws = wb.active
    for r in range(1, rows + 1):
        for c in range(1, 21):
            ws.cell(row=r, column=c, value=("r%dc%d" % (r, c)) if c % 2 == 0 else r * c)
    wb.save(path)
    wb = openpyxl.load_workbook(path)
    ws = wb.active
    total = 0
    chars = 0
    for r in range(1, rows + 1):
        for c in range(1, 21):
            v = ws.cell(row=r, column=c).value
            if c % 2 == 0:
                chars += len(v)
            else:
                total += v
    os.remove(path)
    print("%d %d" % (total, chars))


main()
