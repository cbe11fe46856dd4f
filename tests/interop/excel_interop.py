#!/usr/bin/python3
"""Interoperability of korvel's workbooks with openpyxl (run with Debian's
Python, which sees python3-openpyxl).

  excel_interop.py korvel-writes KORVEL   korvel writes, openpyxl checks
  excel_interop.py openpyxl-writes KORVEL openpyxl writes, korvel reads and
                                          edits one cell, openpyxl checks
                                          that nothing else changed
  excel_interop.py shared-formulas KORVEL korvel reads shared formulas as
                                          openpyxl does, a read of the whole
                                          grid leaves the file as it was, and
                                          after korvel edits the groups' first
                                          cells openpyxl reads every other
                                          cell's formula unchanged
  excel_interop.py rename KORVEL          korvel renames a sheet that a
                                          validation, a conditional format,
                                          links, a defined name and a formula
                                          refer to; openpyxl reads every one
                                          of them with the new name
  excel_interop.py clone KORVEL           korvel clones a sheet with a note, a
                                          link, a table, a chart and an image;
                                          openpyxl finds them on the copy
"""
import os
import re
import subprocess
import sys
import tempfile
import zipfile

import openpyxl
from openpyxl.formatting.rule import FormulaRule
from openpyxl.styles import Font, PatternFill
from openpyxl.workbook.defined_name import DefinedName
from openpyxl.worksheet.datavalidation import DataValidation
from openpyxl.worksheet.hyperlink import Hyperlink

HERE = os.path.dirname(os.path.abspath(__file__))
failures = []


def check(what, got, want):
    if got != want or type(got) is not type(want):
        failures.append("%s: got %r, want %r" % (what, got, want))


def run_korvel(korvel, script, *args):
    proc = subprocess.run([korvel, os.path.join(HERE, script)] + list(args),
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
    if proc.returncode != 0 or proc.stderr:
        sys.exit("korvel failed (%d):\n%s%s" % (proc.returncode, proc.stdout.decode(),
                                                proc.stderr.decode()))
    return proc.stdout.decode("utf-8")


def korvel_writes(korvel, tmp):
    path = os.path.join(tmp, "from_korvel.xlsx")
    run_korvel(korvel, "excel_write.kor", path)
    wb = openpyxl.load_workbook(path)
    check("sheet names", wb.sheetnames, ["Main Sheet", "Data", "Clone"])
    main = {
        "A1": 42, "A2": -7, "A3": 9007199254740993, "A4": 9223372036854775807,
        "A5": -9223372036854775807, "B1": 3.25, "B2": -0.1, "B3": 1234567.891, "B4": 0.000001,
        "B5": 2, "C1": "中文", "C2": "emoji 😀🎉", "C3": "  blanks  ", "C4": "line\nbreak", "C5": "", "D1": "=SUM(A1:A2)", "D2": "='Main Sheet'!B1*2", "A7": None, "A8": 8,
    }
    for sheet in ("Main Sheet", "Clone"):
        for address, want in main.items():
            check("%s!%s" % (sheet, address), wb[sheet][address].value, want)
    check("row 7 deleted", [c.value for c in wb["Main Sheet"][7] if c.value is not None], [])
    check("Data!A1", wb["Data"]["A1"].value, "x")
    check("Data!B1", wb["Data"]["B1"].value, "='Main Sheet'!A1+1")
    check("recalculate on load", wb.calculation.fullCalcOnLoad, True)
    with zipfile.ZipFile(path) as z:
        check("zip sound", z.testzip(), None)
        check("no calculation chain", "xl/calcChain.xml" in z.namelist(), False)


def openpyxl_book(path):
    wb = openpyxl.Workbook()
    ws = wb.active
    ws.title = "Report"
    ws["A1"] = "shared text"
    ws["A2"] = "  padded  "
    ws["A3"] = "中文😀"
    ws["B1"] = True
    ws["B2"] = False
    ws["C1"] = 12
    ws["C2"] = 2.5
    ws["C3"] = -3
    ws["D1"] = "=C1*2"
    ws["D2"] = '=A1&"x"'
    ws["E3"] = "inline text"
    ws["A1"].font = Font(bold=True, color="FF0000")
    ws["C2"].fill = PatternFill("solid", fgColor="FFFF00")
    ws["C2"].number_format = "0.00"
    ws.merge_cells("E1:F2")
    ws.column_dimensions["A"].width = 30
    other = wb.create_sheet("Other")
    other["A1"] = 99
    other["A2"] = "other text"
    wb.defined_names.append(DefinedName("total", attr_text="Report!$C$1:$C$3"))
    wb.save(path)
    # this openpyxl writes strings inline and no cached formula results:
    # move A1 and A2 into shared strings (one of them rich text) and give the
    # formulas results
    with zipfile.ZipFile(path) as z:
        parts = {n: z.read(n) for n in z.namelist()}
    sheet = parts["xl/worksheets/sheet1.xml"].decode("utf-8")
    subs = [
        (r'<c r="A1"([^>]*) t="inlineStr"><is><t>shared text</t></is></c>', r'<c r="A1"\1 t="s"><v>0</v></c>'),
        (r'<c r="A2"([^>]*) t="inlineStr"><is><t[^>]*>  padded  </t></is></c>', r'<c r="A2"\1 t="s"><v>1</v></c>'),
        (r'(<c r="D1"[^>]*><f>[^<]*</f>)(<v\s*/>|<v></v>|<v>[^<]*</v>)?</c>', r'\1<v>24</v></c>'),
        (r'<c r="D2"([^>]*)><f>([^<]*)</f>(<v\s*/>|<v></v>|<v>[^<]*</v>)?</c>',
         r'<c r="D2" t="str"\1><f>\2</f><v>shared textx</v></c>'),
    ]
    for pattern, repl in subs:
        sheet, n = re.subn(pattern, repl, sheet)
        if n != 1:
            sys.exit("unexpected openpyxl output for %s:\n%s" % (pattern, sheet))
    parts["xl/worksheets/sheet1.xml"] = sheet.encode("utf-8")
    main = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
    parts["xl/sharedStrings.xml"] = (
        '<sst xmlns="%s" count="2" uniqueCount="2"><si><r><rPr><b/></rPr><t>shared </t></r><r><t>text</t></r></si>'
        '<si><t xml:space="preserve">  padded  </t></si></sst>' % main).encode("utf-8")
    rels = parts["xl/_rels/workbook.xml.rels"].decode("utf-8")
    parts["xl/_rels/workbook.xml.rels"] = rels.replace("</Relationships>", (
        '<Relationship Id="rIdSst" Type="http://schemas.openxmlformats.org/officeDocument/2006/'
        'relationships/sharedStrings" Target="sharedStrings.xml"/></Relationships>')).encode("utf-8")
    types = parts["[Content_Types].xml"].decode("utf-8")
    parts["[Content_Types].xml"] = types.replace("</Types>", (
        '<Override PartName="/xl/sharedStrings.xml" ContentType="application/'
        'vnd.openxmlformats-officedocument.spreadsheetml.sharedStrings+xml"/></Types>')).encode("utf-8")
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in parts.items():
            z.writestr(name, data)
    return parts


def snapshot(path):
    wb = openpyxl.load_workbook(path)
    cells = {}
    for ws in wb:
        for row in ws.iter_rows():
            for c in row:
                if c.value is not None:
                    cells[(ws.title, c.coordinate)] = (c.value, c.font.b, c.font.color and c.font.color.rgb,
                                                       c.fill.fgColor.rgb, c.number_format)
    return {
        "cells": cells,
        "sheets": wb.sheetnames,
        "merged": {ws.title: sorted(str(r) for r in ws.merged_cells.ranges) for ws in wb},
        "width A": wb["Report"].column_dimensions["A"].width,
        "names": [(d.name, d.attr_text) for d in wb.defined_names.definedName],
    }


def openpyxl_writes(korvel, tmp):
    path = os.path.join(tmp, "from_openpyxl.xlsx")
    before_parts = openpyxl_book(path)
    before = snapshot(path)
    out = run_korvel(korvel, "excel_read.kor", path)
    want = [
        '["Report","Other"]',
        "Report!A1|zfc|shared text|", "Report!A2|zfc|  padded  |", "Report!A3|zfc|中文😀|",
        "Report!B1|bl|zhen|", "Report!B2|bl|jia|", "Report!C1|czs|12|", "Report!C2|xs|2.5|",
        "Report!C3|czs|-3|", "Report!D1|czs|24|C1*2", 'Report!D2|zfc|shared textx|A1&"x"',
        "Report!E3|zfc|inline text|", "Report!E1|zs|0|",
        "Other!A1|czs|99|", "Other!A2|zfc|other text|",
    ]
    check("korvel's reading", out.split("\n")[:len(want)], want)
    after = snapshot(path)
    check("edited cell", after["cells"].pop(("Report", "C3"))[0], 100)
    before["cells"].pop(("Report", "C3"))
    # D1 and D2 lose their cached results to the recalculation; openpyxl
    # reads formulas, which are kept
    for key in before:
        check("unchanged " + key, after[key], before[key])
    with zipfile.ZipFile(path) as z:
        check("zip sound", z.testzip(), None)
        after_parts = {n: z.read(n) for n in z.namelist()}
    for name, data in before_parts.items():
        if name not in ("xl/worksheets/sheet1.xml", "xl/workbook.xml"):
            check("part %s byte for byte" % name, after_parts.get(name), data)
    check("parts", sorted(after_parts), sorted(before_parts))


# Filled-down formulas as Excel stores them: the first cell of each group
# holds the text and the range, the others only the group's number.
SHARED_ROWS = (
    '<row r="1"><c r="A1"><v>1</v></c><c r="B1"><f t="shared" ref="B1:B4" si="0">A1*2+$A$1</f><v>2</v></c>'
    '<c r="C1"><f t="shared" ref="C1:D3" si="1">A1+Other!B$1-SUM($A1:A$2)</f><v>0</v></c>'
    '<c r="D1"><f t="shared" si="1"/><v>0</v></c></row>'
    '<row r="2" s="1" customFormat="1"><c r="A2"><v>2</v></c><c r="B2"><f t="shared" si="0"/><v>4</v></c>'
    '<c r="C2"><f t="shared" si="1"/></c><c r="D2"><f t="shared" si="1"/></c></row>'
    '<row r="3"><c r="B3"><f t="shared" si="0"/></c><c r="C3"><f t="shared" si="1"/></c>'
    '<c r="D3"><f t="shared" si="1"/></c></row>'
    '<row r="4"><c r="B4"><f t="shared" si="0"/></c></row>'
    '<row r="5"><c r="A5"><v>5</v></c><c r="E5"><f t="shared" ref="E5:E7" si="2">SUM($A$1:A5)</f><v>8</v></c></row>'
    '<row r="6"><c r="E6"><f t="shared" si="2"/></c></row>'
    '<row r="7"><c r="E7"><f t="shared" si="2"/></c><c r="G7"><v> 7</v></c></row>'
    '<row r="9" s="1" customFormat="1"/>')


def formulas(path):
    ws = openpyxl.load_workbook(path)["S"]
    return {(c.row, c.column): c.value for row in ws.iter_rows() for c in row
            if isinstance(c.value, str) and c.value.startswith("=")}


def shared_formulas(korvel, tmp):
    path = os.path.join(tmp, "shared.xlsx")
    wb = openpyxl.Workbook()
    wb.active.title = "S"
    wb.active.column_dimensions["F"].width = 20
    wb.create_sheet("Other")["B1"] = 10
    wb["Other"]["B1"].fill = PatternFill("solid", fgColor="FFFF00")  # cell style 1, used by rows
    wb.save(path)
    with zipfile.ZipFile(path) as z:
        parts = {n: z.read(n) for n in z.namelist()}
    sheet, n = re.subn(r"<sheetData>.*</sheetData>", "<sheetData>%s</sheetData>" % SHARED_ROWS,
                       parts["xl/worksheets/sheet1.xml"].decode("utf-8"))
    if n != 1:
        sys.exit("unexpected openpyxl output:\n%s" % sheet)
    parts["xl/worksheets/sheet1.xml"] = sheet.encode("utf-8")
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in parts.items():
            z.writestr(name, data)
    before = formulas(path)
    check("the fixture's groups", len(before), 13)

    with open(path, "rb") as f:
        original = f.read()
    out = run_korvel(korvel, "excel_shared.kor", path, "read")
    read = {}
    for line in out.split("\n"):
        if "|" in line:
            at, f = line.split("|", 1)
            read[tuple(int(x) for x in at.split(","))] = "=" + f
    check("formulas as korvel reads them", read, before)
    with open(path, "rb") as f:
        check("file after reading the grid", f.read() == original, True)

    run_korvel(korvel, "excel_shared.kor", path, "edit")
    after = formulas(path)
    check("edited B1", openpyxl.load_workbook(path)["S"]["B1"].value, 5)
    want = dict(before)
    del want[(1, 2)]
    del want[(5, 5)]
    want[(1, 3)] = "=A1+100"
    check("formulas after editing each group's first cell", after, want)


def rename(korvel, tmp):
    path = os.path.join(tmp, "rename.xlsx")
    wb = openpyxl.Workbook()
    main = wb.active
    main.title = "Main"
    data = wb.create_sheet("Data")
    for row, value in enumerate(["a", "b", "c"], 1):
        data.cell(row, 1, value)
    validation = DataValidation(type="list", formula1="Data!$A$1:$A$3")
    main.add_data_validation(validation)
    validation.add("B1")
    main.conditional_formatting.add("D1", FormulaRule(formula=["D1>Data!$B$1"]))
    main["A1"] = "location"
    main["A1"].hyperlink = Hyperlink(ref="A1", location="Data!A1")
    main["A2"] = "target"
    main["A2"].hyperlink = "#Data!A2"
    main["C1"] = "=SUM(Data!B1:B3)"
    wb.defined_names.append(DefinedName("total", attr_text="Data!$A$1:$A$3"))
    wb.save(path)

    run_korvel(korvel, "excel_rename.kor", path)
    wb = openpyxl.load_workbook(path)
    main = wb["Main"]
    check("sheet names", wb.sheetnames, ["Main", "Data Sheet"])
    check("validation list", [v.formula1 for v in main.data_validations.dataValidation],
          ["'Data Sheet'!$A$1:$A$3"])
    check("conditional format", [r.formula for rules in main.conditional_formatting for r in rules.rules],
          [["D1>'Data Sheet'!$B$1"]])
    check("link location", main["A1"].hyperlink.location, "'Data Sheet'!A1")
    check("link target", main["A2"].hyperlink.target, "#'Data Sheet'!A2")
    check("defined name", wb.defined_names["total"].attr_text, "'Data Sheet'!$A$1:$A$3")
    check("formula", main["C1"].value, "=SUM('Data Sheet'!B1:B3)")
    check("renamed sheet's cells", [c.value for c in wb["Data Sheet"]["A"]], ["a", "b", "c"])


def clone(korvel, tmp):
    from openpyxl.chart import BarChart, Reference
    from openpyxl.comments import Comment
    from openpyxl.worksheet.table import Table
    path = os.path.join(tmp, "clone.xlsx")
    wb = openpyxl.Workbook()
    ws = wb.active
    ws.title = "Data"
    for row in [("Item", "Amount", "Note"), ("a", 1, "x"), ("b", 2, "y"), ("c", 3, "z")]:
        ws.append(row)
    ws["B2"].comment = Comment("check this", "Auditor")
    ws["C3"].hyperlink = "https://example.com/report"
    ws.add_table(Table(displayName="Sales", ref="A1:C4"))
    chart = BarChart()
    chart.add_data(Reference(ws, min_col=2, min_row=1, max_row=4), titles_from_data=True)
    ws.add_chart(chart, "E2")
    try:  # openpyxl reads and writes images only with Pillow
        from PIL import Image as Picture
        from openpyxl.drawing.image import Image
        Picture.new("RGB", (4, 4), "red").save(os.path.join(tmp, "red.png"))
        ws.add_image(Image(os.path.join(tmp, "red.png")), "E20")
        images = 1
    except ImportError:
        images = 0
    wb.save(path)

    run_korvel(korvel, "excel_clone.kor", path)
    wb = openpyxl.load_workbook(path)
    check("sheet names", wb.sheetnames, ["Data", "Data Copy"])
    for name, table, sheet_ref in (("Data", "Sales", "'Data'"), ("Data Copy", "Sales_2", "'Data Copy'")):
        ws = wb[name]
        check(name + " values", [c.value for c in ws["B"]], ["Amount", 1, 2, 3])
        check(name + " note", (ws["B2"].comment and (ws["B2"].comment.text, ws["B2"].comment.author)),
              ("check this", "Auditor"))
        check(name + " link", ws["C3"].hyperlink and ws["C3"].hyperlink.target, "https://example.com/report")
        check(name + " tables", [(t.name, t.displayName, t.ref) for t in ws.tables.values()],
              [(table, table, "A1:C4")])
        check(name + " chart data", [s.val.numRef.f for c in ws._charts for s in c.series],
              [sheet_ref + "!$B$2:$B$4"])
        check(name + " images", len(ws._images), images)
    with zipfile.ZipFile(path) as z:
        check("zip sound", z.testzip(), None)
        ids = [re.search(rb'<table[^>]* id="(\d+)"', z.read(n)).group(1) for n in z.namelist()
               if n.startswith("xl/tables/")]
    check("table ids", len(set(ids)), 2)


def main():
    mode, korvel = sys.argv[1], os.path.abspath(sys.argv[2])
    with tempfile.TemporaryDirectory() as tmp:
        {"korvel-writes": korvel_writes, "openpyxl-writes": openpyxl_writes,
         "shared-formulas": shared_formulas, "rename": rename, "clone": clone}[mode](korvel, tmp)
    for f in failures:
        print(f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
