# A regular-expression scan over the ~100 MB access log (same work as regex_scan.kor).
import re


def main():
    with open("/tmp/korvel_bench_lines.txt", "r") as f:
        text = f.read()
    count = 0
    total = 0
    by_status = {}
    for m in re.finditer(r" (5\d\d) (\d+) ", text):
        count += 1
        total += int(m.group(2))
        status = m.group(1)
        if status in by_status:
            by_status[status] = by_status[status] + 1
        else:
            by_status[status] = 1
    shown = ["%s:%d" % (c, by_status[c]) for c in sorted(by_status)]
    print(count, total, ",".join(shown))


main()
