// The workbook layer: values and formulas through a save, addresses and
// sheet names, sheet operations, handles outliving their document, what a
// save keeps, and damaged or hostile packages.
#include "internal.h"
#include "xlsx.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <QDir>
#include <QFile>
#include <QFileDevice>
#include <QFileInfo>
#include <QTemporaryDir>

#include <ctime>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <array>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <variant>

using namespace xlsx;

namespace {

using Entries = std::map<std::string, std::string>;

const char* const kTypes =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Types "
    "xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\"><Default Extension=\"rels\" "
    "ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/><Default "
    "Extension=\"xml\" ContentType=\"application/xml\"/><Override PartName=\"/xl/calcChain.xml\" "
    "ContentType=\"application/vnd.openxmlformats-officedocument.spreadsheetml.calcChain+xml\"/></Types>";
const char* const kRootRels =
    "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\"><Relationship "
    "Id=\"rId1\" Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/"
    "officeDocument\" Target=\"xl/workbook.xml\"/></Relationships>";
const char* const kWorkbook =
    "<workbook xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" "
    "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\"><sheets><sheet "
    "name=\"Sheet1\" sheetId=\"1\" r:id=\"rId1\"/><sheet name=\"My Data\" sheetId=\"2\" "
    "r:id=\"rId2\"/></sheets><definedNames><definedName name=\"total\">'My "
    "Data'!$A$1</definedName></definedNames><calcPr calcId=\"1\"/></workbook>";
std::string workbookRels(const std::string& sheet1Target = "worksheets/sheet1.xml") {
  const std::string t = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/";
  return "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
         "<Relationship Id=\"rId1\" Type=\"" + t + "worksheet\" Target=\"" + sheet1Target + "\"/>"
         "<Relationship Id=\"rId2\" Type=\"" + t + "worksheet\" Target=\"/xl/worksheets/sheet2.xml\"/>"
         "<Relationship Id=\"rId3\" Type=\"" + t + "sharedStrings\" Target=\"sharedStrings.xml\"/>"
         "<Relationship Id=\"rId4\" Type=\"" + t + "calcChain\" Target=\"calcChain.xml\"/>"
         "</Relationships>";
}
std::string sheetXml(const std::string& rows) {
  return "<worksheet xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\">"
         "<dimension ref=\"A1\"/><sheetData>" + rows + "</sheetData><mergeCells count=\"1\">"
         "<mergeCell ref=\"D1:E1\"/></mergeCells></worksheet>";
}
const char* const kSheet1Rows =
    "<row r=\"1\" spans=\"1:3\"><c r=\"A1\" t=\"s\"><v>0</v></c><c r=\"B1\" t=\"s\"><v>1</v></c>"
    "<c r=\"C1\" t=\"s\"><v>2</v></c></row>"
    "<row r=\"2\"><c r=\"A2\" t=\"inlineStr\"><is><t>inline</t></is></c><c r=\"B2\" t=\"b\"><v>1</v></c>"
    "<c r=\"C2\" t=\"e\"><v>#DIV/0!</v></c><c r=\"D2\" t=\"d\"><v>2024-01-01</v></c></row>"
    "<row r=\"3\"><c r=\"A3\"><v>7</v></c><c r=\"B3\"><v>2.5</v></c><c r=\"C3\"><v>1E3</v></c>"
    "<c r=\"D3\" s=\"1\"/><c r=\"E3\"><f>'My Data'!A1*2</f><v>4</v></c><c r=\"F3\" t=\"str\"><f>A2</f>"
    "<v>inline</v></c></row>"
    "<row r=\"5\"><c r=\"A5\"><f>SUM(Sheet1!A3,'my data'!A1,XSheet1!A1,\"Sheet1!A1\")</f></c></row>";
const char* const kStrings =
    "<sst xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" count=\"3\" uniqueCount=\"3\">"
    "<si><t>plain</t></si><si><r><rPr><b/></rPr><t>rich </t></r><r><t xml:space=\"preserve\"> text</t></r>"
    "<rPh><t>ignored</t></rPh></si><si><t xml:space=\"preserve\"> a_x000D_b _x005F_x0041_ </t></si></sst>";

Entries baseBook() {
  return {{"[Content_Types].xml", kTypes},
          {"_rels/.rels", kRootRels},
          {"xl/workbook.xml", kWorkbook},
          {"xl/_rels/workbook.xml.rels", workbookRels()},
          {"xl/worksheets/sheet1.xml", sheetXml(kSheet1Rows)},
          {"xl/worksheets/sheet2.xml", sheetXml("<row r=\"1\"><c r=\"A1\"><v>2</v></c></row>")},
          {"xl/sharedStrings.xml", kStrings},
          {"xl/calcChain.xml", "<calcChain xmlns=\"x\"><c r=\"E3\" i=\"1\"/></calcChain>"},
          {"xl/styles.xml", "<styleSheet xmlns=\"x\">  <!-- kept as written -->  </styleSheet>"},
          {"custom/data.bin", std::string("\0\1\2binary\xff", 10)}};
}

std::string readFile(const QString& path) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return std::string();
  const QByteArray b = f.readAll();
  return std::string(b.constData(), size_t(b.size()));
}

void writeFile(const QString& path, const std::string& bytes) {
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write(bytes.data(), qint64(bytes.size()));
}

void writeBook(const std::string& path, const Entries& entries) {
  std::vector<std::pair<std::string, const std::string*>> list;
  for (const auto& [name, data] : entries) list.emplace_back(name, &data);
  writeZip(path, list);
}

Entries readBook(const std::string& path) {
  Package pkg;
  readZip(path, pkg);
  return Entries(pkg.raw.begin(), pkg.raw.end());
}

class Xlsx : public ::testing::Test {
 protected:
  QTemporaryDir dir;
  std::string path(const char* name) { return dir.filePath(QString::fromUtf8(name)).toStdString(); }
};

using Value = std::variant<std::monostate, bool, int64_t, double, std::string>;

Value valueOf(const Cell& c) {
  switch (c.value().type()) {
    case ValueType::Boolean: return c.value().get<bool>();
    case ValueType::Integer: return c.value().get<int64_t>();
    case ValueType::Float: return c.value().get<double>();
    case ValueType::String: return c.value().get<std::string>();
    default: return std::monostate();
  }
}

}  // namespace

TEST_F(Xlsx, ValuesAndFormulasSurviveASave) {
  const std::string file = path("v.xlsx");
  struct Case {
    Value written;
    Value read;
  };
  const std::vector<Case> cases = {
      {int64_t(0), int64_t(0)},
      {int64_t(-5), int64_t(-5)},
      {std::numeric_limits<int64_t>::max(), std::numeric_limits<int64_t>::max()},
      {std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::min()},
      {2.5, 2.5},
      {0.1, 0.1},
      {-1e-300, -1e-300},
      {1e20, 1e20},
      {1.0 / 3.0, 1.0 / 3.0},
      {3.0, int64_t(3)},  // a whole double reads back as an integer
      {std::string(), std::string()},
      {std::string(" lead"), std::string(" lead")},
      {std::string("trail \n"), std::string("trail \n")},
      {std::string("中文😀"), std::string("中文😀")},
      {std::string("a_x000D_b"), std::string("a_x000D_b")},
      {std::string("cr\r\x01tab\t"), std::string("cr\r\x01tab\t")},
      {std::string("<&>\"'"), std::string("<&>\"'")},
  };
  Document doc;
  doc.create(file);
  Worksheet ws = doc.workbook().worksheet("Sheet1");
  for (size_t i = 0; i < cases.size(); ++i) {
    CellValue v = ws.cell(int64_t(i + 1), 2).value();
    std::visit([&](const auto& x) {
      using T = std::decay_t<decltype(x)>;
      if constexpr (!std::is_same_v<T, std::monostate> && !std::is_same_v<T, bool>) v = x;
    }, cases[i].written);
  }
  ws.cell("A1").formula() = "=SUM(B1:B2)";
  ws.cell("A2").value() = int64_t(9);
  ws.cell("A2").formula() = "B1*2";  // a formula replaces the value
  doc.save();
  doc.close();

  doc.open(file);
  ws = doc.workbook().worksheet("sheet1");
  for (size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(valueOf(ws.cell(int64_t(i + 1), 2)), cases[i].read) << "row " << i + 1;
  }
  EXPECT_EQ(ws.cell("A1").formula().get(), "SUM(B1:B2)");
  EXPECT_TRUE(ws.cell("A1").hasFormula());
  EXPECT_EQ(ws.cell("A1").value().type(), ValueType::Empty);  // no cached value
  EXPECT_EQ(ws.cell("A2").formula().get(), "B1*2");
  EXPECT_FALSE(ws.cell("C1").hasFormula());
  EXPECT_EQ(ws.cell("C1").formula().get(), "");
  EXPECT_THROW(ws.cell("B1").value().get<std::string>(), Error);
  EXPECT_THROW(ws.cell("B1").value() = std::string("\xff\xfe"), Error);
  EXPECT_THROW(ws.cell("B1").value() = std::numeric_limits<double>::infinity(), Error);
  // the writer's own package is read back as a sound workbook
  const Entries e = readBook(file);
  EXPECT_EQ(e.count("xl/calcChain.xml"), 0u);
  EXPECT_NE(e.at("xl/workbook.xml").find("fullCalcOnLoad=\"1\""), std::string::npos);
}

TEST_F(Xlsx, AddressesAndPositions) {
  struct Case {
    const char* address;
    uint32_t row;
    uint16_t column;
  };
  for (const Case& c : std::vector<Case>{{"A1", 1, 1}, {"Z9", 9, 26}, {"AA10", 10, 27},
                                         {"XFD1048576", 1048576, 16384}}) {
    uint32_t r = 0;
    uint16_t col = 0;
    parseAddress(c.address, &r, &col);
    EXPECT_EQ(r, c.row) << c.address;
    EXPECT_EQ(col, c.column) << c.address;
    EXPECT_EQ(columnLetters(col) + std::to_string(r), c.address);
  }
  for (const char* bad : {"", "a1", "A0", "A01", "XFE1", "A1048577", "1A", "A1B", "AAAA1", "A 1",
                          "A99999999999"}) {
    uint32_t r;
    uint16_t col;
    EXPECT_THROW(parseAddress(bad, &r, &col), Error) << bad;
  }
  Document doc;
  doc.create(path("p.xlsx"));
  Worksheet ws = doc.workbook().worksheet("Sheet1");
  for (auto [r, c] : std::vector<std::pair<int64_t, int64_t>>{{0, 1}, {1, 0}, {1048577, 1}, {1, 16385}, {-1, 1}}) {
    EXPECT_THROW(ws.cell(r, c), Error) << r << "," << c;
  }
  EXPECT_THROW(ws.cell("b2"), Error);
  EXPECT_THROW(ws.deleteRow(0), Error);
}

TEST_F(Xlsx, SheetNamesAndSheetOperations) {
  const std::string file = path("s.xlsx");
  Entries book = baseBook();
  std::string& sheet1 = book["xl/worksheets/sheet1.xml"];
  sheet1.replace(sheet1.find("</worksheet>"), 12,
                 "<drawing xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\" "
                 "r:id=\"rId1\"/></worksheet>");
  writeBook(file, book);
  Document doc;
  doc.open(file);
  Workbook wb = doc.workbook();
  EXPECT_EQ(wb.worksheetNames(), (std::vector<std::string>{"Sheet1", "My Data"}));
  for (const char* bad : {"", "12345678901234567890123456789012", "a/b", "a\\b", "a?", "a*", "a:b",
                          "a[b", "a]", "'ab", "ab'", "sheet1", "MY DATA",
                          // not UTF-8 (overlong, surrogate, cut short), or not XML text
                          "A\xff" "B", "C\xc0\xaf", "\xed\xa0\x80", "\xe4\xb8", "a\nb", "\x01"}) {
    EXPECT_THROW(wb.addWorksheet(bad), Error) << bad;
    EXPECT_THROW(wb.cloneSheet("Sheet1", bad), Error) << bad;
  }
  wb.addWorksheet("一二三四五六七八九十一二三四五六七八九十一二三四五六七八九十一");  // 31 units
  wb.addWorksheet("New");
  wb.worksheet("New").cell("A1").value() = int64_t(1);
  wb.cloneSheet("Sheet1", "Copy");
  EXPECT_THROW(wb.cloneSheet("Sheet1", "copy"), Error);
  EXPECT_THROW(wb.cloneSheet("Missing", "X"), Error);
  EXPECT_THROW(wb.worksheet("Missing"), Error);
  EXPECT_THROW(wb.deleteSheet("Missing"), Error);
  wb.deleteSheet("my data");  // the defined name local to nothing stays; its text is not ours to fix
  EXPECT_EQ(wb.sheetCount(), 4u);

  Worksheet s1 = wb.worksheet("Sheet1");
  s1.setName("Renamed");
  s1.setName("Renamed");  // the same name again changes nothing
  EXPECT_THROW(s1.setName("new"), Error);
  EXPECT_THROW(s1.setName("bad:name"), Error);
  EXPECT_THROW(s1.setName("C\xc0\xaf"), Error);
  doc.save();
  doc.close();

  doc.open(file);
  wb = doc.workbook();
  EXPECT_EQ(wb.worksheetNames(),
            (std::vector<std::string>{"Renamed", "一二三四五六七八九十一二三四五六七八九十一二三四五六七八九十一", "New", "Copy"}));
  EXPECT_TRUE(wb.sheetExists("renamed"));
  EXPECT_FALSE(wb.sheetExists("Sheet1"));
  EXPECT_EQ(std::get<int64_t>(valueOf(wb.worksheet("New").cell("A1"))), 1);
  EXPECT_EQ(std::get<int64_t>(valueOf(wb.worksheet("Copy").cell("A3"))), 7);
  // the copy refers to no relationship of the original (it has none of its own)
  int withDrawing = 0;
  for (const auto& [name, bytes] : readBook(file)) {
    if (name.rfind("xl/worksheets/", 0) == 0) withDrawing += bytes.find(":id=") != std::string::npos;
  }
  EXPECT_EQ(withDrawing, 1);
  EXPECT_EQ(wb.worksheet("Renamed").cell("A5").formula().get(),
            "SUM(Renamed!A3,'my data'!A1,XSheet1!A1,\"Sheet1!A1\")");
  // the last worksheet cannot go
  for (const char* n : {"New", "Copy", "一二三四五六七八九十一二三四五六七八九十一二三四五六七八九十一"}) wb.deleteSheet(n);
  EXPECT_THROW(wb.deleteSheet("Renamed"), Error);
}

TEST_F(Xlsx, RenameRewritesFormulasAndDefinedNames) {
  struct Case {
    const char* formula;
    const char* oldName;
    const char* newName;
    const char* expected;
  };
  for (const Case& c : std::vector<Case>{
           {"'My Data'!A1+my data!A1", "My Data", "Plain", "Plain!A1+my data!A1"},
           {"SUM('my data'!A1:B2)", "My Data", "It's", "SUM('It''s'!A1:B2)"},
           {"'My Data'!A1&\"'My Data'!A1\"", "My Data", "数据", "'数据'!A1&\"'My Data'!A1\""},
           {"[1]'My Data'!A1", "My Data", "X", "[1]'My Data'!A1"},
           {"'My Data'!A1", "My Data", "A1", "'A1'!A1"},
           {"'My Data'!A1", "My Data", "R1C1", "'R1C1'!A1"},
           // 3-D references: either end, quoted as a whole
           {"SUM(Data:Data2!A1)", "Data", "X", "SUM(X:Data2!A1)"},
           {"SUM(Data:Data2!A1)", "data2", "New Name", "SUM('Data:New Name'!A1)"},
           {"SUM('My Data:Data2'!A1)", "My Data", "X", "SUM(X:Data2!A1)"},
           {"SUM('Data:My Data'!A1)", "My Data", "It's", "SUM('Data:It''s'!A1)"},
           {"SUM(Data:Data2!A1)", "Data", "AB12", "SUM('AB12:Data2'!A1)"},
           {"A1:Data!B2", "Data", "New Name", "A1:'New Name'!B2"},  // a range, not 3-D
           // another workbook's sheets stay
           {"[1]Data:Data2!A1", "Data2", "X", "[1]Data:Data2!A1"},
           {"'C:\\d\\[b.xlsx]Data'!A1+'[1]C:Data'!A1", "C", "X", "'C:\\d\\[b.xlsx]Data'!A1+'[1]C:Data'!A1"}}) {
    EXPECT_EQ(renameSheetInFormula(c.formula, c.oldName, c.newName), c.expected) << c.formula;
  }
  const std::string file = path("r.xlsx");
  writeBook(file, baseBook());
  Document doc;
  doc.open(file);
  doc.workbook().worksheet("My Data").setName("Totals");
  doc.save();
  const Entries e = readBook(file);
  EXPECT_NE(e.at("xl/workbook.xml").find(">Totals!$A$1<"), std::string::npos);
  doc.open(file);
  EXPECT_EQ(doc.workbook().worksheet("Sheet1").cell("E3").formula().get(), "Totals!A1*2");
}

TEST_F(Xlsx, RenameReachesEveryReferenceInThePackage) {
  // "My Data" becomes "Data", then Sheet1 "Main Sheet": a reference to each
  // in every kind of place, and what it reads afterwards
  const std::string ct = "application/vnd.openxmlformats-officedocument.";
  struct Case {
    std::string part;
    const char* before;  // inserted before this text; the whole part when null
    std::string text;
    std::string renamed;
    std::string contentType;  // for a new part
  };
  const std::vector<Case> cases = {
      {"xl/worksheets/sheet1.xml", "</sheetData>", "<row r=\"6\"><c r=\"A6\"><f>SUM('Sheet1:My Data'!A1)</f></c></row>",
       "<f>SUM('Main Sheet:Data'!A1)</f>"},
      {"xl/worksheets/sheet1.xml", "</worksheet>",
       "<conditionalFormatting sqref=\"D1\"><cfRule type=\"expression\" priority=\"1\"><formula>D1='My "
       "Data'!$B$1</formula></cfRule></conditionalFormatting>",
       "<formula>D1=Data!$B$1</formula>"},
      {"xl/worksheets/sheet1.xml", "</worksheet>",
       "<conditionalFormatting sqref=\"E1\"><cfRule type=\"colorScale\" priority=\"2\"><colorScale><cfvo "
       "type=\"num\" val=\"Sheet1!$A$1\"/><cfvo type=\"max\"/></colorScale></cfRule></conditionalFormatting>",
       "val=\"'Main Sheet'!$A$1\""},
      {"xl/worksheets/sheet1.xml", "</worksheet>",
       "<dataValidations count=\"1\"><dataValidation type=\"list\" sqref=\"A1\"><formula1>'My "
       "Data'!$A$1:$A$3</formula1></dataValidation></dataValidations>",
       "<formula1>Data!$A$1:$A$3</formula1>"},
      {"xl/worksheets/sheet1.xml", "</worksheet>", "<hyperlinks><hyperlink ref=\"A1\" location=\"'My Data'!A1\"/></hyperlinks>",
       "location=\"Data!A1\""},
      {"xl/worksheets/sheet1.xml", "</worksheet>",
       "<extLst><ext uri=\"{CCE6A557-97BC-4b89-ADB6-D9C93CAAB3DF}\" "
       "xmlns:x14=\"http://schemas.microsoft.com/office/spreadsheetml/2009/9/main\"><x14:dataValidations "
       "xmlns:xm=\"http://schemas.microsoft.com/office/excel/2006/main\" count=\"1\"><x14:dataValidation "
       "type=\"list\"><x14:formula1><xm:f>Sheet1!$C$1:$C$3</xm:f></x14:formula1><xm:sqref>B1</xm:sqref>"
       "</x14:dataValidation></x14:dataValidations></ext></extLst>",
       "<xm:f>'Main Sheet'!$C$1:$C$3</xm:f>"},
      {"xl/worksheets/sheet2.xml", "</worksheet>",
       "<dataConsolidate><dataRefs count=\"1\"><dataRef ref=\"A1:B2\" sheet=\"My Data\"/></dataRefs></dataConsolidate>",
       "sheet=\"Data\""},
      {"xl/worksheets/_rels/sheet1.xml.rels", nullptr,
       "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\"><Relationship Id=\"rId1\" "
       "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/hyperlink\" Target=\"#Sheet1!B2\" "
       "TargetMode=\"External\"/></Relationships>",
       "Target=\"#'Main Sheet'!B2\""},
      {"xl/pivotCache/pivotCacheDefinition1.xml", nullptr,
       "<pivotCacheDefinition xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\"><cacheSource "
       "type=\"worksheet\"><worksheetSource ref=\"A1:B2\" sheet=\"Sheet1\"/></cacheSource></pivotCacheDefinition>",
       "sheet=\"Main Sheet\"", ct + "spreadsheetml.pivotCacheDefinition+xml"},
      {"xl/tables/table1.xml", nullptr,
       "<table xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" id=\"1\" name=\"T\" ref=\"A1:A2\">"
       "<tableColumns count=\"1\"><tableColumn id=\"1\" name=\"c\"><calculatedColumnFormula>'My Data'!A1*2"
       "</calculatedColumnFormula></tableColumn></tableColumns></table>",
       "<calculatedColumnFormula>Data!A1*2</calculatedColumnFormula>", ct + "spreadsheetml.table+xml"},
      {"xl/drawings/drawing1.xml", nullptr,
       "<xdr:wsDr xmlns:xdr=\"http://schemas.openxmlformats.org/drawingml/2006/spreadsheetDrawing\"><xdr:oneCellAnchor>"
       "<xdr:sp macro=\"\" textlink=\"Sheet1!$A$1\"/></xdr:oneCellAnchor></xdr:wsDr>",
       "textlink=\"'Main Sheet'!$A$1\"", ct + "drawing+xml"},
      {"xl/ctrlProps/ctrlProp1.xml", nullptr,
       "<formControlPr xmlns=\"http://schemas.microsoft.com/office/spreadsheetml/2009/9/main\" objectType=\"Drop\" "
       "fmlaLink=\"'My Data'!$A$1\"/>",
       "fmlaLink=\"Data!$A$1\"", "application/vnd.ms-excel.controlproperties+xml"},
      {"xl/drawings/vmlDrawing1.vml", nullptr,
       "<xml xmlns:x=\"urn:schemas-microsoft-com:office:excel\"><x:ClientData ObjectType=\"Drop\">"
       "<x:FmlaRange>Sheet1!$A$1:$A$3</x:FmlaRange></x:ClientData></xml>",
       "<x:FmlaRange>'Main Sheet'!$A$1:$A$3</x:FmlaRange>"},
      {"xl/workbook.xml", "</definedNames>",
       "<definedName name=\"_xlnm.Print_Titles\" localSheetId=\"1\">'My Data'!$1:$1</definedName>",
       ">Data!$1:$1</definedName>"},
  };
  Entries book = baseBook();
  for (const Case& c : cases) {
    std::string& part = book[c.part];
    if (c.before == nullptr) part = c.text;
    else part.insert(part.find(c.before), c.text);
    if (!c.contentType.empty()) {
      std::string& types = book["[Content_Types].xml"];
      types.insert(types.find("</Types>"),
                   "<Override PartName=\"/" + c.part + "\" ContentType=\"" + c.contentType + "\"/>");
    }
  }
  const std::string file = path("refs.xlsx");
  writeBook(file, book);
  Document doc;
  doc.open(file);
  doc.workbook().worksheet("My Data").setName("Data");
  doc.workbook().worksheet("Sheet1").setName("Main Sheet");
  doc.save();
  const Entries saved = readBook(file);
  for (const Case& c : cases) {
    EXPECT_NE(saved.at(c.part).find(c.renamed), std::string::npos) << c.part << ": " << c.renamed;
  }
}

TEST_F(Xlsx, ReadsEveryKindOfStoredValue) {
  const std::string file = path("k.xlsx");
  writeBook(file, baseBook());
  Document doc;
  doc.open(file);
  Worksheet ws = doc.workbook().worksheet("Sheet1");
  const std::vector<std::pair<const char*, Value>> cases = {
      {"A1", std::string("plain")},   {"B1", std::string("rich  text")},
      {"C1", std::string(" a\rb _x0041_ ")},
      {"A2", std::string("inline")},  {"B2", true},
      {"C2", std::monostate()},       {"D2", int64_t(45292)},
      {"A3", int64_t(7)},             {"B3", 2.5},
      {"C3", 1000.0},                 {"D3", std::monostate()},
      {"F3", std::string("inline")},  {"Z99", std::monostate()}};
  for (const auto& [address, want] : cases) EXPECT_EQ(valueOf(ws.cell(address)), want) << address;
  EXPECT_EQ(ws.cell("C2").value().type(), ValueType::Error);
  EXPECT_EQ(ws.rowCount(), 5u);  // reading Z99 created nothing
  EXPECT_EQ(ws.columnCount(), 6);
  EXPECT_FALSE(ws.deleteRow(99));
  EXPECT_FALSE(ws.deleteRow(4));
  EXPECT_TRUE(ws.deleteRow(2));
  EXPECT_EQ(ws.rowCount(), 5u);  // rows below keep their numbers
  EXPECT_EQ(valueOf(ws.cell("A3")), Value(int64_t(7)));
  EXPECT_EQ(valueOf(ws.cell("A2")), Value());
}

TEST_F(Xlsx, EditingOneCellKeepsEverythingElse) {
  const std::string file = path("keep.xlsx");
  const Entries before = baseBook();
  writeBook(file, before);
  Document doc;
  doc.open(file);
  doc.workbook().worksheet("My Data").cell("B7").value() = std::string("new");
  doc.save();
  const Entries after = readBook(file);
  for (const auto& [name, bytes] : before) {
    if (name == "xl/worksheets/sheet2.xml" || name == "xl/workbook.xml" || name == "xl/calcChain.xml" ||
        name == "xl/_rels/workbook.xml.rels" || name == "[Content_Types].xml") {
      continue;
    }
    EXPECT_EQ(after.at(name), bytes) << name;
  }
  EXPECT_EQ(after.size(), before.size() - 1);  // only the calculation chain went
  EXPECT_EQ(after.at("xl/_rels/workbook.xml.rels").find("calcChain"), std::string::npos);
  EXPECT_EQ(after.at("[Content_Types].xml").find("calcChain"), std::string::npos);
  EXPECT_NE(after.at("xl/workbook.xml").find("<definedName name=\"total\">'My Data'!$A$1</definedName>"),
            std::string::npos);
  EXPECT_NE(after.at("xl/worksheets/sheet2.xml").find("<mergeCell ref=\"D1:E1\"/>"), std::string::npos);
  EXPECT_NE(after.at("xl/worksheets/sheet2.xml").find("<dimension ref=\"A1:B7\"/>"), std::string::npos);

  // saveAs writes the new file only; an unchanged document saves its parts as read
  const std::string copy = path("copy.xlsx");
  doc.saveAs(copy);
  EXPECT_EQ(readBook(file), after);
  EXPECT_EQ(readBook(copy), after);
  EXPECT_EQ(doc.path(), copy);
  doc.open(file);
  doc.save();
  EXPECT_EQ(readBook(file), after);
}

namespace {

// What is wrong with the references of a package: a relationship that leads
// to no part of it, or two parts or two content types for one part (part
// names compare without regard to case); "" when nothing is.
std::string unsoundReferences(const Entries& e) {
  auto folded = [](const std::string& name) { return QString::fromStdString(name).toLower().toStdString(); };
  std::set<std::string> names, overrides;
  for (const auto& [name, bytes] : e) {
    if (!names.insert(folded(name)).second) return "two parts named " + name;
    const size_t at = name.rfind("_rels/");
    if (at == std::string::npos || !endsWith(name.c_str(), ".rels")) continue;
    const std::string source = name.substr(0, at) + name.substr(at + 6, name.size() - at - 11);
    pugi::xml_document doc;
    doc.load_string(bytes.c_str());
    for (pugi::xml_node rel : doc.document_element().children()) {
      const std::string target = rel.attribute("Target").value();
      if (std::strcmp(rel.attribute("TargetMode").value(), "External") == 0) continue;
      try {
        if (e.count(resolveTarget(source, target)) == 0) return name + ": " + target + " is missing";
      } catch (const Error&) {
        return name + ": " + target + " leads outside";
      }
    }
  }
  pugi::xml_document types;
  types.load_string(e.at("[Content_Types].xml").c_str());
  for (pugi::xml_node o : types.document_element().children("Override")) {
    if (!overrides.insert(folded(o.attribute("PartName").value())).second) {
      return std::string("two content types for ") + o.attribute("PartName").value();
    }
  }
  return "";
}

}  // namespace

TEST_F(Xlsx, SavesLeaveEveryReferenceWithItsTarget) {
  const std::string t = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/";
  // the workbook's relationships with another id or target for the calculation chain
  auto chain = [&](const std::string& id, const std::string& target) {
    const std::string old = "<Relationship Id=\"rId4\" Type=\"" + t + "calcChain\" Target=\"calcChain.xml\"/>";
    std::string rels = workbookRels();
    return rels.replace(rels.find(old), old.size(),
                        "<Relationship Id=\"" + id + "\" Type=\"" + t + "calcChain\" Target=\"" + target + "\"/>");
  };
  auto add = [](std::string& xml, const char* before, const std::string& text) { xml.insert(xml.find(before), text); };
  struct Case {
    const char* name;
    std::function<void(Entries&)> change;
    const char* refusal;  // a piece of the error, or null when the workbook opens
    std::function<void(Workbook&)> edit = nullptr;  // besides a written cell and a new sheet
  };
  const std::vector<Case> cases = {
      {"chain with a sheet's id", [&](Entries& e) { e["xl/_rels/workbook.xml.rels"] = chain("rId1", "calcChain.xml"); },
       "同一个 Id rId1"},
      {"chain with the shared strings' id",
       [&](Entries& e) { e["xl/_rels/workbook.xml.rels"] = chain("rId3", "calcChain.xml"); }, "同一个 Id rId3"},
      {"a sheet without an id, the chain's relationship without one",
       [&](Entries& e) {
         add(e["xl/workbook.xml"], "</sheets>", "<sheet name=\"Chain\" sheetId=\"3\"/>");
         e["xl/_rels/workbook.xml.rels"] = chain("", "calcChain.xml");
       },
       "工作表 Chain 的关系"},
      {"a sheet on the chain's relationship",
       [&](Entries& e) { add(e["xl/workbook.xml"], "</sheets>", "<sheet name=\"Chain\" sheetId=\"3\" r:id=\"rId4\"/>"); },
       nullptr},
      {"chain on a sheet's part",
       [&](Entries& e) { e["xl/_rels/workbook.xml.rels"] = chain("rId4", "worksheets/sheet1.xml"); }, nullptr},
      {"chain on the shared strings' part",
       [&](Entries& e) { e["xl/_rels/workbook.xml.rels"] = chain("rId4", "/xl/sharedStrings.xml"); }, nullptr},
      {"chain on the content types",
       [&](Entries& e) { e["xl/_rels/workbook.xml.rels"] = chain("rId4", "../[Content_Types].xml"); }, nullptr},
      {"chain outside the package",
       [&](Entries& e) { e["xl/_rels/workbook.xml.rels"] = chain("rId4", "../../calcChain.xml"); }, nullptr},
      {"chain reached from a sheet",
       [&](Entries& e) {
         e["xl/worksheets/_rels/sheet1.xml.rels"] =
             "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\"><Relationship "
             "Id=\"rId1\" Type=\"" + t + "customXml\" Target=\"../calcChain.xml\"/></Relationships>";
       },
       nullptr},
      {"a sheet on the shared strings' part, deleted",
       [&](Entries& e) {
         add(e["xl/workbook.xml"], "</sheets>", "<sheet name=\"Strings\" sheetId=\"3\" r:id=\"rId6\"/>");
         add(e["xl/_rels/workbook.xml.rels"], "</Relationships>",
             "<Relationship Id=\"rId6\" Type=\"" + t + "worksheet\" Target=\"sharedStrings.xml\"/>");
       },
       nullptr, [](Workbook& wb) { wb.deleteSheet("Strings"); }},
      {"a relationships prefix no attribute may begin with",
       [&](Entries& e) { add(e["xl/workbook.xml"], "xmlns:r=", "xmlns:2=\"" + t.substr(0, t.size() - 1) + "\" "); },
       nullptr},
      {"names a new sheet must not take",
       [&](Entries& e) {
         e["xl/worksheets/SHEET3.xml"] = "<worksheet/>";
         add(e["[Content_Types].xml"], "</Types>", "<Override PartName=\"/xl/worksheets/sheet4.xml\" ContentType=\"x\"/>");
       },
       nullptr},
  };
  const std::string file = path("refs.xlsx");
  for (const Case& c : cases) {
    Entries book = baseBook();
    // an id the workbook names without a relationship for it, which a new
    // relationship must not take
    add(book["xl/workbook.xml"], "<definedNames>", "<externalReferences><externalReference r:id=\"rId5\"/></externalReferences>");
    c.change(book);
    writeBook(file, book);
    Document doc;
    try {
      doc.open(file);
    } catch (const Error& e) {
      if (c.refusal == nullptr) ADD_FAILURE() << c.name << ": " << e.what();
      else EXPECT_NE(std::string(e.what()).find(c.refusal), std::string::npos) << c.name << ": " << e.what();
      continue;
    }
    EXPECT_EQ(c.refusal, nullptr) << c.name << ": opened";
    try {
      Workbook wb = doc.workbook();
      wb.worksheet("Sheet1").cell("B3").value() = int64_t(1);
      wb.addWorksheet("New");
      if (c.edit) c.edit(wb);
      doc.save();
      const Entries saved = readBook(file);
      EXPECT_EQ(unsoundReferences(saved), "") << c.name;
      EXPECT_EQ(saved.at("xl/_rels/workbook.xml.rels").find("\"rId5\""), std::string::npos) << c.name;
      doc.open(file);
      wb = doc.workbook();
      for (const auto& [address, want] : std::vector<std::pair<const char*, Value>>{
               {"A1", std::string("plain")}, {"A3", int64_t(7)}, {"B3", int64_t(1)}}) {
        EXPECT_EQ(valueOf(wb.worksheet("Sheet1").cell(address)), want) << c.name << ": " << address;
      }
      EXPECT_EQ(valueOf(wb.worksheet("My Data").cell("A1")), Value(int64_t(2))) << c.name;
      EXPECT_TRUE(wb.sheetExists("New")) << c.name;
    } catch (const Error& e) {
      ADD_FAILURE() << c.name << ": " << e.what();
    }
  }
}

// Markup that repeats itself is edited as it is read: the first of two type
// attributes, the sheet entry rather than another element with its id.
TEST_F(Xlsx, RepeatedMarkupIsEditedAsItIsRead) {
  Entries book = baseBook();
  std::string& rows = book["xl/worksheets/sheet1.xml"];
  rows.replace(rows.find("<c r=\"B3\">"), 10, "<c r=\"B3\" t=\"n\" t=\"str\">");
  std::string& list = book["xl/workbook.xml"];
  list.insert(list.find("<sheet name=\"My Data\""), "<other r:id=\"rId2\"/>");
  const std::string file = path("repeated.xlsx");
  writeBook(file, book);
  Document doc;
  doc.open(file);
  Workbook wb = doc.workbook();
  EXPECT_EQ(valueOf(wb.worksheet("Sheet1").cell("B3")), Value(2.5));
  wb.worksheet("Sheet1").cell("B3").value() = int64_t(1);
  wb.worksheet("My Data").setName("Data");
  doc.save();
  doc.open(file);
  wb = doc.workbook();
  EXPECT_EQ(valueOf(wb.worksheet("Sheet1").cell("B3")), Value(int64_t(1)));
  EXPECT_EQ(wb.worksheetNames(), (std::vector<std::string>{"Sheet1", "Data"}));
  wb.deleteSheet("Data");
  doc.save();
  doc.open(file);
  EXPECT_EQ(doc.workbook().worksheetNames(), std::vector<std::string>{"Sheet1"});
}

TEST_F(Xlsx, HandlesFailCleanlyOnceTheirSheetOrDocumentIsGone) {
  const std::string a = path("a.xlsx"), b = path("b.xlsx");
  Document doc;
  doc.create(b);
  doc.create(a);
  EXPECT_EQ(doc.path(), a);
  Workbook wb = doc.workbook();
  wb.addWorksheet("Two");
  Worksheet one = wb.worksheet("Sheet1");
  Worksheet two = wb.worksheet("Two");
  Cell cell = two.cell("A1");
  wb.deleteSheet("Two");
  EXPECT_THROW(two.name(), Error);
  EXPECT_THROW(cell.value().type(), Error);
  EXPECT_EQ(one.name(), "Sheet1");
  doc.open(b);  // another file: the first document's handles are stale
  EXPECT_THROW(one.cell("A1"), Error);
  EXPECT_THROW(wb.sheetCount(), Error);
  doc.close();
  EXPECT_FALSE(doc.isOpen());
  EXPECT_THROW(doc.save(), Error);
  EXPECT_THROW(doc.workbook(), Error);
  EXPECT_THROW(Worksheet().rowCount(), Error);
  {
    Document scoped;
    scoped.open(a);
    one = scoped.workbook().worksheet("Sheet1");
  }
  EXPECT_THROW(one.cell(1, 1).value() = int64_t(1), Error);
}

TEST_F(Xlsx, DamagedOrHostilePackagesAreRefused) {
  const QString zipped = dir.filePath("good.xlsx");
  writeBook(zipped.toStdString(), baseBook());
  const std::string good = readFile(zipped);

  auto with = [](std::function<void(Entries&)> change) {
    Entries e = baseBook();
    change(e);
    return e;
  };
  // the uncompressed size of the first entry, in its local and central headers
  std::string huge = good;
  const size_t central = huge.find("PK\x01\x02");
  ASSERT_NE(central, std::string::npos);
  for (size_t at : {size_t(22), central + 24}) std::memcpy(&huge[at], "\x00\x00\x00\xF0", 4);

  struct Case {
    const char* name;
    std::variant<std::string, Entries> content;
    const char* sheet;  // a sheet to read after opening, or null
  };
  const std::vector<Case> cases = {
      {"text file", std::string("just text, not a zip"), nullptr},
      {"empty file", std::string(), nullptr},
      {"truncated zip", good.substr(0, good.size() / 2), nullptr},
      {"zip with a cut tail", good.substr(0, good.size() - 10), nullptr},
      {"huge part", huge, nullptr},
      {"no workbook parts", Entries{{"a.txt", "hello"}}, nullptr},
      {"no content types", with([](Entries& e) { e.erase("[Content_Types].xml"); }), nullptr},
      {"no workbook", with([](Entries& e) { e.erase("xl/workbook.xml"); }), nullptr},
      {"malformed workbook", with([](Entries& e) { e["xl/workbook.xml"] = "<workbook><sheets>"; }), nullptr},
      {"missing sheet part", with([](Entries& e) { e.erase("xl/worksheets/sheet2.xml"); }), nullptr},
      {"target outside", with([](Entries& e) { e["xl/_rels/workbook.xml.rels"] = workbookRels("../../../etc/passwd"); }), nullptr},
      {"malformed sheet", with([](Entries& e) { e["xl/worksheets/sheet1.xml"] = "<worksheet><sheetData>"; }), "Sheet1"},
      {"duplicate cell", with([](Entries& e) { e["xl/worksheets/sheet1.xml"] = sheetXml("<row r=\"1\"><c r=\"A1\"/><c r=\"A1\"/></row>"); }), "Sheet1"},
      {"cells out of order", with([](Entries& e) { e["xl/worksheets/sheet1.xml"] = sheetXml("<row r=\"1\"><c r=\"B1\"/><c r=\"A1\"/></row>"); }), "Sheet1"},
      {"cell in the wrong row", with([](Entries& e) { e["xl/worksheets/sheet1.xml"] = sheetXml("<row r=\"1\"><c r=\"A2\"/></row>"); }), "Sheet1"},
      {"rows out of order", with([](Entries& e) { e["xl/worksheets/sheet1.xml"] = sheetXml("<row r=\"3\"/><row r=\"2\"/>"); }), "Sheet1"},
      {"row out of range", with([](Entries& e) { e["xl/worksheets/sheet1.xml"] = sheetXml("<row r=\"1048577\"/>"); }), "Sheet1"},
      {"no sheetData", with([](Entries& e) { e["xl/worksheets/sheet1.xml"] = "<worksheet/>"; }), "Sheet1"},
      {"bad shared string", with([](Entries& e) { e["xl/worksheets/sheet1.xml"] = sheetXml("<row r=\"1\"><c r=\"A1\" t=\"s\"><v>99</v></c></row>"); }), "Sheet1"},
      {"no shared strings", with([](Entries& e) { e.erase("xl/sharedStrings.xml"); }), "Sheet1"},
      {"malformed shared strings", with([](Entries& e) { e["xl/sharedStrings.xml"] = "<sst>"; }), "Sheet1"},
  };
  for (const Case& c : cases) {
    const QString file = dir.filePath("bad.xlsx");
    if (const std::string* bytes = std::get_if<std::string>(&c.content)) writeFile(file, *bytes);
    else writeBook(file.toStdString(), std::get<Entries>(c.content));
    const std::string bytes = readFile(file);
    Document doc;
    auto refusal = [&]() -> std::string {
      try {
        if (!doc.isOpen()) doc.open(file.toStdString());
        Worksheet ws = doc.workbook().worksheet(c.sheet ? c.sheet : "Sheet1");
        if (c.sheet != nullptr) ws.cell("A1").value().get<std::string>();
      } catch (const Error& e) {
        return e.what();
      }
      return "";
    };
    const std::string first = refusal();
    EXPECT_NE(first, "") << c.name << ": no error";
    EXPECT_EQ(refusal(), first) << c.name << ": the second try";
    EXPECT_EQ(readFile(file), bytes) << c.name << ": the file changed";
  }
}

TEST_F(Xlsx, OneMemoryBudgetHoldsForTheTreesOfAllParts) {
  // two sheets whose trees take about 2.7 MB each, in a budget of 4 MiB
  std::string sheet = sheetXml("<row r=\"1\"><c r=\"A1\"><v>1</v></c></row>");
  std::string elements;
  for (int i = 0; i < 40000; ++i) elements += "<x/>";
  sheet.insert(sheet.find("</worksheet>"), "<extLst>" + elements + "</extLst>");
  Entries book = baseBook();
  book["xl/worksheets/sheet1.xml"] = book["xl/worksheets/sheet2.xml"] = sheet;
  const std::string file = path("budget.xlsx");
  writeBook(file, book);
  Package pkg;
  readZip(file, pkg);
  pkg.treeLimit = 4 << 20;
  pkg.part("xl/worksheets/sheet1.xml");
  try {
    pkg.part("xl/worksheets/sheet2.xml");
    ADD_FAILURE() << "the second sheet was read";
  } catch (const Error& e) {
    EXPECT_NE(std::string(e.what()).find("工作簿部件 xl/worksheets/sheet2.xml 过大"), std::string::npos) << e.what();
  }
  // a part that goes gives its share back
  pkg.removePart("xl/worksheets/sheet1.xml");
  EXPECT_NO_THROW(pkg.part("xl/worksheets/sheet2.xml"));
}

TEST_F(Xlsx, SavesReplaceTheFileAtomically) {
  const QString sub = dir.filePath("ro");
  ASSERT_TRUE(QDir().mkpath(sub));
  const std::string file = (sub + "/book.xlsx").toStdString();
  Document doc;
  doc.create(file);
  const std::string before = readFile(QString::fromStdString(file));
  doc.workbook().worksheet("Sheet1").cell("A1").value() = int64_t(1);
  // the save writes a new file and renames it over the old one: a second
  // name of the old file still sees the old bytes
  const std::string link = (sub + "/old-link.xlsx").toStdString();
  ASSERT_EQ(::link(file.c_str(), link.c_str()), 0);
  doc.save();
  EXPECT_EQ(readFile(QString::fromStdString(link)), before);
  EXPECT_NE(readFile(QString::fromStdString(file)), before);
  QFile::remove(QString::fromStdString(link));
  const std::string saved = readFile(QString::fromStdString(file));
  doc.workbook().worksheet("Sheet1").cell("A2").value() = int64_t(2);
  EXPECT_THROW(doc.saveAs(dir.filePath("no/such/dir/x.xlsx").toStdString()), Error);
  EXPECT_THROW(doc.saveAs(sub.toStdString()), Error);  // a folder is in the way
  EXPECT_EQ(doc.path(), file);
  // a folder that takes no new file: the save fails and the old file stays
  // (not where permissions are not enforced, as for root)
  QFile::setPermissions(sub, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
  const bool enforced = !QFileInfo(sub).isWritable();
  if (enforced) EXPECT_THROW(doc.save(), Error);
  QFile::setPermissions(sub, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
  if (enforced) EXPECT_EQ(readFile(QString::fromStdString(file)), saved);
  EXPECT_EQ(QDir(sub).entryList(QDir::Files), QStringList{"book.xlsx"});  // no temporary left
}

TEST_F(Xlsx, ReadingRulesForValuesAsProducersWriteThem) {
  struct Case {
    const char* cell;  // the c element's attributes (after r) and content
    std::optional<Value> want;  // none: the read fails with a clear error
  };
  const std::vector<Case> cases = {
      {"t=\"n\"><v> 41</v>", int64_t(41)},
      {"><v>\n -7\t</v>", int64_t(-7)},
      {"><v>+3</v>", int64_t(3)},
      {"><v>abc</v>", std::nullopt},
      {"><v>inf</v>", std::nullopt},
      {"><v>#N/A</v>", std::monostate()},  // an error value, as t="e" gives
      {"t=\"s\"><v>2 </v>", std::string(" a\rb _x0041_ ")},
      {"t=\"s\"><v/>", std::monostate()},
      {"t=\"s\"><v></v>", std::monostate()},
      {"t=\"s\"><v>1x</v>", std::nullopt},
      {"t=\"d\"><v>2014-01-01</v>", int64_t(41640)},
      {"t=\"d\"><v>2021-01-01T10:10:10</v>", 44197 + 36610 / 86400.0},
      {"t=\"d\"><v>2021-01-01T06:00:00.5+08:00</v>", 44197 + 21600.5 / 86400},
      {"t=\"d\"><v>1900-02-28</v>", int64_t(59)},
      {"t=\"d\"><v>12:00</v>", 0.5},
      {"t=\"d\"><v/>", std::monostate()},
      {"t=\"d\"><v>2023-02-29</v>", std::nullopt},
      {"t=\"d\"><v>2021-01-01T25:00</v>", std::nullopt},
      {"t=\"d\"><v>01/02/2021</v>", std::nullopt},
  };
  std::string rows;
  for (size_t i = 0; i < cases.size(); ++i) {
    const std::string r = std::to_string(i + 1);
    rows += "<row r=\"" + r + "\"><c r=\"A" + r + "\" " + cases[i].cell + "</c></row>";
  }
  // rows and columns with a format of their own, for the cells a write creates
  rows += "<row r=\"40\" s=\"3\" customFormat=\"1\"/>";
  Entries book = baseBook();
  std::string sheet = sheetXml(rows);
  sheet.insert(sheet.find("<sheetData>"), "<cols><col min=\"2\" max=\"3\" width=\"9\" style=\"4\"/></cols>");
  book["xl/worksheets/sheet2.xml"] = sheet;
  const std::string file = path("rules.xlsx");
  writeBook(file, book);
  const std::string bytes = readFile(QString::fromStdString(file));

  Document doc;
  doc.open(file);
  Worksheet ws = doc.workbook().worksheet("My Data");
  const auto read = [](const Cell& c) -> std::optional<Value> {
    try {
      return valueOf(c);
    } catch (const Error&) {
      return std::nullopt;
    }
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    const std::optional<Value> got = read(ws.cell(int64_t(i + 1), 1));
    const double* want = cases[i].want ? std::get_if<double>(&*cases[i].want) : nullptr;
    if (want != nullptr && got && std::holds_alternative<double>(*got)) {
      EXPECT_NEAR(std::get<double>(*got), *want, 1e-9) << cases[i].cell;
    } else {
      EXPECT_EQ(got, cases[i].want) << cases[i].cell;
    }
  }
  // reading what is not there (below the last row, right of the last column,
  // in a gap) gives empty and changes nothing
  const uint32_t rowsBefore = ws.rowCount();
  ASSERT_EQ(ws.columnCount(), 1);
  for (uint32_t r = 1; r <= rowsBefore + 2; ++r) {
    for (uint16_t col = 1; col <= 3; ++col) {
      ws.cell(r, col).formula().get();
      ws.cell(r, col).hasFormula();
      if (r > cases.size()) EXPECT_EQ(valueOf(ws.cell(r, col)), Value()) << r << "," << col;
    }
  }
  EXPECT_EQ(ws.rowCount(), rowsBefore);
  EXPECT_EQ(ws.columnCount(), 1);
  doc.save();
  EXPECT_TRUE(readFile(QString::fromStdString(file)) == bytes) << "the save changed the file";

  // a written cell takes its row's format, else its column's
  ws.cell("B40").value() = int64_t(1);
  ws.cell("B41").value() = int64_t(1);
  ws.cell("D41").value() = int64_t(1);
  doc.save();
  const std::string saved = readBook(file).at("xl/worksheets/sheet2.xml");
  for (const char* c : {"<c r=\"B40\" s=\"3\">", "<c r=\"B41\" s=\"4\">", "<c r=\"D41\">"}) {
    EXPECT_NE(saved.find(c), std::string::npos) << c;
  }

  // dates in a workbook that counts from 1904
  std::string& workbook = book["xl/workbook.xml"];
  workbook.insert(workbook.find("<sheets>"), "<workbookPr date1904=\"true\"/>");
  writeBook(file, book);
  doc.open(file);
  EXPECT_EQ(valueOf(doc.workbook().worksheet("My Data").cell("A11")), Value(int64_t(40178)));  // 2014-01-01
}

TEST_F(Xlsx, SharedFormulasKeepEveryCellsFormulaThroughEdits) {
  struct Move {
    const char* formula;
    int64_t rows, columns;
    const char* moved;
  };
  for (const Move& m : std::vector<Move>{
           {"A1*2+$A$1", 1, 0, "A2*2+$A$1"},
           {"SUM(A1:B2)-$A1+A$1", 2, 1, "SUM(B3:C4)-$A3+B$1"},
           {"Sheet1!A1+'My Data'!B$2+[1]Sheet1!A1", 1, 1, "Sheet1!B2+'My Data'!C$2+[1]Sheet1!B2"},
           {"SUM(A:A)+SUM(1:1)+SUM($A:B)+SUM($2:3)", 1, 1, "SUM(B:B)+SUM(2:2)+SUM($A:C)+SUM($2:4)"},
           {"\"A1\"&LOG10(A1)&_xlfn.XLOOKUP(A1,B:B,C:C)", 1, 0, "\"A1\"&LOG10(A2)&_xlfn.XLOOKUP(A2,B:B,C:C)"},
           {"Table1[[#This Row],[B1]]+Sheet1:Sheet3!A1+名字", 1, 0, "Table1[[#This Row],[B1]]+Sheet1:Sheet3!A2+名字"},
           {"#REF!+#N/A+#DIV/0!+1.5E+3+TRUE", 1, 1, "#REF!+#N/A+#DIV/0!+1.5E+3+TRUE"},
           {"A1048576+XFD1+B2", 1, 1, "#REF!+#REF!+C3"},
           {"B2:C3", -1, -1, "A1:B2"}}) {
    EXPECT_EQ(moveFormula(m.formula, m.rows, m.columns), m.moved) << m.formula;
  }

  // B1:B4 filled down from B1, C1:D2 filled from C1; malformed: B6 of the
  // first group lies outside its range, and D4 repeats another text for the
  // second
  const char* const rows =
      "<row r=\"1\"><c r=\"A1\"><v>1</v></c><c r=\"B1\"><f t=\"shared\" ref=\"B1:B4\" si=\"0\">A1*2+$A$1</f>"
      "<v>3</v></c><c r=\"C1\"><f t=\"shared\" ref=\"C1:D2\" si=\"1\">A1+'My Data'!B1</f></c>"
      "<c r=\"D1\"><f t=\"shared\" si=\"1\"/></c></row>"
      "<row r=\"2\"><c r=\"B2\"><f t=\"shared\" si=\"0\"/><v>4</v></c><c r=\"C2\"><f t=\"shared\" si=\"1\"/></c>"
      "<c r=\"D2\"><f t=\"shared\" si=\"1\"/></c></row>"
      "<row r=\"3\"><c r=\"B3\"><f t=\"shared\" si=\"0\"/></c></row>"
      "<row r=\"4\"><c r=\"B4\"><f t=\"shared\" si=\"0\"/></c><c r=\"D4\"><f t=\"shared\" si=\"1\">Z9</f></c></row>"
      "<row r=\"6\"><c r=\"B6\"><f t=\"shared\" si=\"0\"/></c></row>";
  const std::map<std::string, std::string> formulas = {
      {"B1", "A1*2+$A$1"}, {"B2", "A2*2+$A$1"}, {"B3", "A3*2+$A$1"}, {"B4", "A4*2+$A$1"}, {"B6", "A6*2+$A$1"},
      {"C1", "A1+'My Data'!B1"}, {"D1", "B1+'My Data'!C1"}, {"C2", "A2+'My Data'!B2"}, {"D2", "B2+'My Data'!C2"},
      {"D4", "Z9"}};
  struct Edit {
    const char* name;
    std::function<void(Worksheet&)> apply;
    std::map<std::string, std::string> changed;  // cells whose formula the edit changes
  };
  const std::vector<Edit> edits = {
      {"nothing", [](Worksheet&) {}, {}},
      {"value on the first cell", [](Worksheet& ws) { ws.cell("B1").value() = int64_t(5); }, {{"B1", ""}}},
      {"formula on the first cell", [](Worksheet& ws) { ws.cell("B1").formula() = "7"; }, {{"B1", "7"}}},
      {"value on another cell", [](Worksheet& ws) { ws.cell("B3").value() = 1.5; }, {{"B3", ""}}},
      {"value on a cell repeating a text", [](Worksheet& ws) { ws.cell("D4").value() = int64_t(1); }, {{"D4", ""}}},
      {"first row deleted", [](Worksheet& ws) { ws.deleteRow(1); }, {{"B1", ""}, {"C1", ""}, {"D1", ""}}},
      {"sheet renamed", [](Worksheet& ws) { ws.setName("Daten"); },
       {{"C1", "A1+Daten!B1"}, {"D1", "B1+Daten!C1"}, {"C2", "A2+Daten!B2"}, {"D2", "B2+Daten!C2"}}},
  };
  const std::string file = path("shared.xlsx");
  for (const Edit& e : edits) {
    Entries book = baseBook();
    book["xl/worksheets/sheet2.xml"] = sheetXml(rows);
    writeBook(file, book);
    Document doc;
    doc.open(file);
    Worksheet ws = doc.workbook().worksheet("My Data");
    e.apply(ws);
    doc.save();
    doc.open(file);
    ws = doc.workbook().worksheet(e.name == std::string("sheet renamed") ? "Daten" : "My Data");
    for (const auto& [address, formula] : formulas) {
      auto changed = e.changed.find(address);
      EXPECT_EQ(ws.cell(address).formula().get(), changed == e.changed.end() ? formula : changed->second)
          << e.name << ": " << address;
    }
  }
}

TEST_F(Xlsx, ChartSheetsChartsAndClonesOfNewSheets) {
  // a chart sheet, and a chart whose series point at My Data
  Entries book = baseBook();
  const std::string t = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/";
  std::string& rels = book["xl/_rels/workbook.xml.rels"];
  rels.insert(rels.find("</Relationships>"), "<Relationship Id=\"rId9\" Type=\"" + t +
                                                 "chartsheet\" Target=\"chartsheets/sheet1.xml\"/>");
  std::string& workbook = book["xl/workbook.xml"];
  workbook.insert(workbook.find("</sheets>"), "<sheet name=\"Chart1\" sheetId=\"3\" r:id=\"rId9\"/>");
  book["xl/chartsheets/sheet1.xml"] = "<chartsheet xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\"/>";
  std::string& types = book["[Content_Types].xml"];
  types.insert(types.find("</Types>"), "<Override PartName=\"/xl/charts/chart1.xml\" ContentType=\"application/"
                                       "vnd.openxmlformats-officedocument.drawingml.chart+xml\"/>");
  book["xl/charts/chart1.xml"] =
      "<c:chartSpace xmlns:c=\"http://schemas.openxmlformats.org/drawingml/2006/chart\"><c:chart><c:ser>"
      "<c:tx><c:strRef><c:f>'My Data'!$A$1</c:f></c:strRef></c:tx><c:val><c:numRef>"
      "<c:f>('My Data'!$B$2:$B$10,Sheet1!$A$1)</c:f></c:numRef></c:val></c:ser></c:chart></c:chartSpace>";
  const std::string file = path("charts.xlsx");
  writeBook(file, book);
  Document doc;
  doc.open(file);
  Workbook wb = doc.workbook();
  EXPECT_EQ(wb.sheetCount(), wb.worksheetNames().size());
  EXPECT_TRUE(wb.sheetExists("chart1"));
  EXPECT_THROW(wb.worksheet("Chart1"), Error);
  wb.worksheet("My Data").setName("Daten");
  doc.save();
  const std::string chart = readBook(file).at("xl/charts/chart1.xml");
  for (const char* f : {"<c:f>Daten!$A$1</c:f>", "<c:f>(Daten!$B$2:$B$10,Sheet1!$A$1)</c:f>"}) {
    EXPECT_NE(chart.find(f), std::string::npos) << f;
  }

  // sheets of a workbook made in this run, saved or not, clone
  doc.create(path("new.xlsx"));
  wb = doc.workbook();
  wb.cloneSheet("Sheet1", "Copy");
  wb.addWorksheet("Added");
  wb.worksheet("Added").cell("A1").value() = int64_t(1);
  wb.cloneSheet("Added", "Copy2");
  EXPECT_EQ(valueOf(wb.worksheet("Copy2").cell("A1")), Value(int64_t(1)));
  EXPECT_EQ(wb.worksheetNames(), (std::vector<std::string>{"Sheet1", "Copy", "Added", "Copy2"}));
}

// ---- what a sheet holds besides its cells: cloned with it, cleared with a row ----

namespace {

const char* const kRel = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/";

std::string relationships(const std::vector<std::array<std::string, 3>>& rels) {
  std::string out = "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">";
  for (const auto& [id, type, target] : rels) {
    const bool external = target.rfind("http", 0) == 0;
    out += "<Relationship Id=\"" + id + "\" Type=\"" + (type.find(':') == std::string::npos ? kRel : "") + type +
           "\" Target=\"" + target + "\"" + (external ? " TargetMode=\"External\"" : "") + "/>";
  }
  return out + "</Relationships>";
}

// A workbook of one sheet "Data": the sheet's content after its cells, its
// relationships, content-type overrides, defined names and further parts.
Entries oneSheetBook(const std::string& afterCells, const std::vector<std::array<std::string, 3>>& rels,
                     const std::string& overrides = "", const std::string& definedNames = "", Entries parts = {}) {
  parts["[Content_Types].xml"] =
      "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\"><Default Extension=\"rels\" "
      "ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/><Default Extension=\"xml\" "
      "ContentType=\"application/xml\"/><Default Extension=\"vml\" "
      "ContentType=\"application/vnd.openxmlformats-officedocument.vmlDrawing\"/><Override "
      "PartName=\"/xl/workbook.xml\" ContentType=\"application/"
      "vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml\"/><Override "
      "PartName=\"/xl/worksheets/sheet1.xml\" ContentType=\"application/"
      "vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml\"/>" + overrides + "</Types>";
  parts["_rels/.rels"] = kRootRels;
  parts["xl/workbook.xml"] =
      "<workbook xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" "
      "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\"><sheets><sheet "
      "name=\"Data\" sheetId=\"1\" r:id=\"rId1\"/></sheets>" + definedNames + "</workbook>";
  parts["xl/_rels/workbook.xml.rels"] = relationships({{"rId1", "worksheet", "worksheets/sheet1.xml"}});
  parts["xl/worksheets/sheet1.xml"] =
      "<worksheet xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" "
      "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\" "
      "xmlns:xr=\"http://schemas.microsoft.com/office/spreadsheetml/2014/revision\" "
      "xr:uid=\"{00000000-0000-0000-0000-0000000000AA}\"><sheetData>"
      "<row r=\"1\"><c r=\"A1\" t=\"inlineStr\"><is><t>Item</t></is></c><c r=\"B1\" t=\"inlineStr\"><is><t>Amount"
      "</t></is></c></row><row r=\"2\"><c r=\"B2\"><v>1</v></c><c r=\"D2\"><f>SUM(Sales[Amount])+sales[#All]"
      "</f></c></row><row r=\"11\"><c r=\"A11\"><v>11</v></c></row><row r=\"12\"><c r=\"A12\"><v>12</v></c>"
      "<c r=\"F12\"><v>12</v></c></row><row r=\"13\"><c r=\"A13\"><v>13</v></c></row></sheetData>" +
      afterCells + "</worksheet>";
  if (!rels.empty()) parts["xl/worksheets/_rels/sheet1.xml.rels"] = relationships(rels);
  return parts;
}

std::string override(const std::string& part, const std::string& type) {
  return "<Override PartName=\"" + part + "\" ContentType=\"application/vnd.openxmlformats-officedocument." + type +
         "\"/>";
}

const char* const kNoteShapes =
    "<xml xmlns:v=\"urn:schemas-microsoft-com:vml\" xmlns:o=\"urn:schemas-microsoft-com:office:office\" "
    "xmlns:x=\"urn:schemas-microsoft-com:office:excel\"><o:shapelayout v:ext=\"edit\"><o:idmap v:ext=\"edit\" "
    "data=\"1\"/></o:shapelayout><v:shape id=\"_x0000_s1025\" o:spid=\"_x0000_s1025\"><x:ClientData "
    "ObjectType=\"Note\"><x:Row>11</x:Row><x:Column>5</x:Column></x:ClientData></v:shape><v:shape "
    "id=\"_x0000_s1026\"><x:ClientData ObjectType=\"Note\"><x:Row>12</x:Row><x:Column>5</x:Column></x:ClientData>"
    "</v:shape></xml>";
const char* const kComments =
    "<comments xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" "
    "xmlns:xr=\"http://schemas.microsoft.com/office/spreadsheetml/2014/revision\"><authors><author>"
    "tc={00000000-0000-0000-0000-0000000000C1}</author><author>Ann</author></authors><commentList><comment "
    "ref=\"F12\" authorId=\"0\" xr:uid=\"{00000000-0000-0000-0000-0000000000C1}\"><text><t>twelve</t></text>"
    "</comment><comment ref=\"F13\" authorId=\"1\"><text><t>thirteen</t></text></comment></commentList></comments>";
const char* const kThreads =
    "<ThreadedComments xmlns=\"http://schemas.microsoft.com/office/spreadsheetml/2018/threadedcomments\">"
    "<threadedComment ref=\"F12\" personId=\"{00000000-0000-0000-0000-0000000000B0}\" "
    "id=\"{00000000-0000-0000-0000-0000000000C1}\"><text>twelve</text></threadedComment><threadedComment "
    "ref=\"F12\" personId=\"{00000000-0000-0000-0000-0000000000B0}\" id=\"{00000000-0000-0000-0000-0000000000C2}\" "
    "parentId=\"{00000000-0000-0000-0000-0000000000C1}\"><text>reply</text></threadedComment></ThreadedComments>";

// Whether each fragment is in (or, with a leading "!", not in) its part.
void expectParts(const Entries& book, const std::vector<std::pair<std::string, std::string>>& wants) {
  for (const auto& [part, fragment] : wants) {
    auto it = book.find(part);
    if (it == book.end()) {
      ADD_FAILURE() << "no part " << part;
      continue;
    }
    const bool absent = fragment[0] == '!';
    EXPECT_EQ(it->second.find(fragment.substr(absent)) == std::string::npos, absent) << part << ": " << fragment;
  }
}

}  // namespace

TEST_F(Xlsx, ClonesCopyWhatTheSheetHoldsIntoPartsOfTheirOwn) {
  const std::string uri = "http://schemas.microsoft.com/office/";
  const Entries book = oneSheetBook(
      "<hyperlinks><hyperlink ref=\"C3\" r:id=\"rId1\"/></hyperlinks><pageSetup r:id=\"rId6\"/>"
      "<drawing r:id=\"rId2\"/><legacyDrawing r:id=\"rId3\"/><tableParts count=\"1\"><tablePart r:id=\"rId4\"/>"
      "</tableParts>",
      {{"rId1", "hyperlink", "https://example.com/report"},
       {"rId2", "drawing", "../drawings/drawing1.xml"},
       {"rId3", "vmlDrawing", "../drawings/vmlDrawing1.vml"},
       {"rId4", "table", "/xl/tables/table1.xml"},
       {"rId5", "comments", "../comments1.xml"},
       {"rId6", "printerSettings", "../printerSettings/printerSettings1.bin"},
       {"rId7", uri + "2017/10/relationships/threadedComment", "../threadedComments/threadedComment1.xml"}},
      override("/xl/drawings/drawing1.xml", "drawing+xml") +
          override("/xl/charts/chart1.xml", "drawingml.chart+xml") +
          override("/xl/tables/table1.xml", "spreadsheetml.table+xml") +
          override("/xl/comments1.xml", "spreadsheetml.comments+xml"),
      "<definedNames><definedName name=\"_xlnm.Print_Area\" localSheetId=\"0\">Data!$A$1:$C$4</definedName>"
      "<definedName name=\"Sales_2\">Data!$A$1</definedName></definedNames>",
      {{"xl/drawings/drawing1.xml",
        "<xdr:wsDr xmlns:xdr=\"http://schemas.openxmlformats.org/drawingml/2006/spreadsheetDrawing\" "
        "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\"><xdr:sp textlink=\"Data!$A$1\"/>"
        "<xdr:pic><xdr:blipFill><a:blip xmlns:a=\"x\" r:embed=\"rId1\"/></xdr:blipFill></xdr:pic><xdr:graphicFrame>"
        "<c:chart xmlns:c=\"c\" r:id=\"rId2\"/></xdr:graphicFrame></xdr:wsDr>"},
       {"xl/drawings/_rels/drawing1.xml.rels",
        relationships({{"rId1", "image", "../media/image1.png"}, {"rId2", "chart", "../charts/chart1.xml"}})},
       {"xl/media/image1.png", std::string("\x89PNG\0\1", 6)},
       {"xl/charts/chart1.xml",
        "<c:chartSpace xmlns:c=\"http://schemas.openxmlformats.org/drawingml/2006/chart\"><c:chart><c:ser><c:val>"
        "<c:numRef><c:f>(Data!$B$2:$B$4,Other!$A$1)</c:f></c:numRef></c:val></c:ser></c:chart></c:chartSpace>"},
       {"xl/charts/_rels/chart1.xml.rels", relationships({{"rId1", uri + "2011/relationships/chartStyle", "style1.xml"}})},
       {"xl/charts/style1.xml", "<cs:chartStyle xmlns:cs=\"cs\"/>"},
       {"xl/drawings/vmlDrawing1.vml", kNoteShapes},
       {"xl/comments1.xml", kComments},
       {"xl/threadedComments/threadedComment1.xml", kThreads},
       {"xl/printerSettings/printerSettings1.bin", std::string("\0\1printer", 9)},
       {"xl/tables/table1.xml",
        "<table xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" id=\"7\" name=\"Sales\" "
        "displayName=\"Sales\" ref=\"A1:B4\"><autoFilter ref=\"A1:B4\"/><tableColumns count=\"2\"><tableColumn "
        "id=\"1\" name=\"Item\"/><tableColumn id=\"2\" name=\"Double\"><calculatedColumnFormula>Sales[[#This Row],"
        "[Amount]]*2</calculatedColumnFormula></tableColumn></tableColumns></table>"}});
  const std::string file = path("clone.xlsx");
  writeBook(file, book);
  Document doc;
  doc.open(file);
  doc.workbook().cloneSheet("Data", "Data Copy");
  doc.workbook().cloneSheet("Data", "Third");  // from a package holding the first copy's parts
  doc.save();
  const Entries saved = readBook(file);
  for (const auto& [name, bytes] : book) {  // the source's parts stay as they were
    if (name.rfind("xl/workbook.xml", 0) != 0 && name != "[Content_Types].xml" && name != "xl/_rels/workbook.xml.rels") {
      EXPECT_EQ(saved.at(name), bytes) << name;
    }
  }
  expectParts(saved, {
      {"xl/worksheets/_rels/sheet2.xml.rels", "Id=\"rId1\" Type=\"" + std::string(kRel) +
                                                  "hyperlink\" Target=\"https://example.com/report\" TargetMode"},
      {"xl/worksheets/_rels/sheet2.xml.rels", "Target=\"../drawings/drawing2.xml\""},
      {"xl/worksheets/_rels/sheet2.xml.rels", "Target=\"../drawings/vmlDrawing2.vml\""},
      {"xl/worksheets/_rels/sheet2.xml.rels", "Target=\"/xl/tables/table2.xml\""},
      {"xl/worksheets/_rels/sheet2.xml.rels", "Target=\"../comments2.xml\""},
      {"xl/worksheets/_rels/sheet2.xml.rels", "Target=\"../printerSettings/printerSettings2.bin\""},
      {"xl/worksheets/_rels/sheet2.xml.rels", "Target=\"../threadedComments/threadedComment2.xml\""},
      {"xl/worksheets/sheet2.xml", "<hyperlink ref=\"C3\" r:id=\"rId1\"/>"},
      {"xl/worksheets/sheet2.xml", "<f>SUM(Sales_3[Amount])+Sales_3[#All]</f>"},
      {"xl/worksheets/sheet2.xml", "!{00000000-0000-0000-0000-0000000000AA}"},
      {"xl/drawings/_rels/drawing2.xml.rels", "Target=\"../media/image2.png\""},
      {"xl/drawings/_rels/drawing2.xml.rels", "Target=\"../charts/chart2.xml\""},
      {"xl/drawings/drawing2.xml", "textlink=\"'Data Copy'!$A$1\""},
      {"xl/charts/chart2.xml", "<c:f>('Data Copy'!$B$2:$B$4,Other!$A$1)</c:f>"},
      {"xl/charts/_rels/chart2.xml.rels", "Target=\"style2.xml\""},
      {"xl/tables/table2.xml", "id=\"8\" name=\"Sales_3\" displayName=\"Sales_3\" ref=\"A1:B4\"><autoFilter ref=\"A1:B4\"/>"},
      {"xl/tables/table2.xml", "<calculatedColumnFormula>Sales_3[[#This Row],[Amount]]*2</calculatedColumnFormula>"},
      {"xl/tables/table3.xml", "id=\"9\" name=\"Sales_4\" displayName=\"Sales_4\""},
      {"xl/drawings/vmlDrawing2.vml", "data=\"2\""},
      {"xl/drawings/vmlDrawing2.vml", "<v:shape id=\"_x0000_s2049\" o:spid=\"_x0000_s2049\">"},
      {"xl/drawings/vmlDrawing3.vml", "<v:shape id=\"_x0000_s3073\" o:spid=\"_x0000_s3073\">"},
      {"xl/comments2.xml", "<t>twelve</t>"},
      {"xl/comments2.xml", "!{00000000-0000-0000-0000-0000000000C1}"},
      {"xl/threadedComments/threadedComment2.xml", "!{00000000-0000-0000-0000-0000000000C1}"},
      {"[Content_Types].xml", "<Override PartName=\"/xl/drawings/drawing2.xml\""},
      {"[Content_Types].xml", "<Override PartName=\"/xl/charts/chart3.xml\""},
      {"[Content_Types].xml", "<Override PartName=\"/xl/tables/table2.xml\""},
      {"[Content_Types].xml", "<Override PartName=\"/xl/comments3.xml\""},
      {"xl/workbook.xml", "<definedName name=\"_xlnm.Print_Area\" localSheetId=\"1\">'Data Copy'!$A$1:$C$4</definedName>"},
      {"xl/workbook.xml", "<definedName name=\"_xlnm.Print_Area\" localSheetId=\"2\">Third!$A$1:$C$4</definedName>"},
  });
  for (const char* part : {"xl/media/image2.png", "xl/media/image3.png"}) EXPECT_EQ(saved.at(part), book.at("xl/media/image1.png"));
  EXPECT_EQ(saved.at("xl/printerSettings/printerSettings3.bin"), book.at("xl/printerSettings/printerSettings1.bin"));
  // the copy's note names its thread by the thread's new id
  const std::string& thread = saved.at("xl/threadedComments/threadedComment2.xml");
  const size_t id = thread.find(" id=\"{");
  ASSERT_NE(id, std::string::npos);
  const std::string guid = thread.substr(id + 5, 38);
  EXPECT_NE(thread.find("parentId=\"" + guid + "\""), std::string::npos) << thread;
  EXPECT_NE(saved.at("xl/comments2.xml").find("<author>tc=" + guid + "</author>"), std::string::npos);
  EXPECT_NE(saved.at("xl/comments2.xml").find("xr:uid=\"" + guid + "\""), std::string::npos);
  doc.open(file);
  EXPECT_EQ(doc.workbook().worksheet("Data Copy").cell("D2").formula().get(), "SUM(Sales_3[Amount])+Sales_3[#All]");
}

TEST_F(Xlsx, ClonesOfSheetsHoldingWhatCannotBeCopiedAreRefused) {
  const std::string ms = "http://schemas.microsoft.com/office/";
  const Entries pivotChart = {
      {"xl/drawings/drawing1.xml", "<xdr:wsDr xmlns:xdr=\"x\"/>"},
      {"xl/drawings/_rels/drawing1.xml.rels", relationships({{"rId1", "chart", "../charts/chart1.xml"}})},
      {"xl/charts/chart1.xml", "<c:chartSpace xmlns:c=\"c\"><c:pivotSource><c:name>[x]P!T</c:name></c:pivotSource>"
                               "</c:chartSpace>"}};
  struct Case {
    std::vector<std::array<std::string, 3>> rels;
    Entries parts;
    const char* what;
  };
  for (const Case& c : std::vector<Case>{
           {{{"rId1", "pivotTable", "../pivotTables/pivotTable1.xml"}}, {}, "数据透视表"},
           {{{"rId1", ms + "2007/relationships/slicer", "../slicers/slicer1.xml"}}, {}, "切片器"},
           {{{"rId1", ms + "2011/relationships/timeline", "../timelines/timeline1.xml"}}, {}, "日程表"},
           {{{"rId1", "ctrlProp", "../ctrlProps/ctrlProp1.xml"}}, {}, "表单控件"},
           {{{"rId1", "control", "../activeX/activeX1.xml"}}, {}, "ActiveX 控件"},
           {{{"rId1", "oleObject", "../embeddings/oleObject1.bin"}}, {}, "OLE 对象"},
           {{{"rId1", "package", "../embeddings/Sheet.xlsx"}}, {}, "嵌入的对象"},
           {{{"rId1", "http://example.com/gadget", "../gadget.xml"}}, {}, "不认识的对象（关系类型 http://example.com/gadget）"},
           // what every kind is, all named in one message
           {{{"rId1", "drawing", "../drawings/drawing1.xml"}, {"rId2", "pivotTable", "../pivotTables/pivotTable1.xml"}},
            pivotChart, "数据透视表、数据透视图"},
       }) {
    const std::string file = path("refused.xlsx");
    writeBook(file, oneSheetBook("", c.rels, "", "", c.parts));
    const std::string before = readFile(QString::fromStdString(file));
    Document doc;
    doc.open(file);
    try {
      doc.workbook().cloneSheet("Data", "Copy");
      ADD_FAILURE() << "cloned with " << c.what;
    } catch (const Error& e) {
      EXPECT_EQ(std::string(e.what()), "不能克隆工作表 Data：它含有无法复制的" + std::string(c.what) + "，工作簿没有改动");
    }
    EXPECT_EQ(doc.workbook().worksheetNames(), std::vector<std::string>{"Data"}) << c.what;
    doc.save();  // nothing changed: nothing written
    EXPECT_EQ(readFile(QString::fromStdString(file)), before) << c.what;
  }
}

TEST_F(Xlsx, DeleteRowRemovesWhatIsAnchoredInTheRowAlone) {
  const std::string file = path("row.xlsx");
  writeBook(file, oneSheetBook(
      "<mergeCells count=\"2\"><mergeCell ref=\"B12:C12\"/><mergeCell ref=\"D11:D13\"/></mergeCells>"
      "<conditionalFormatting sqref=\"12:12\"><cfRule type=\"expression\" priority=\"1\"><formula>A12&gt;1"
      "</formula></cfRule></conditionalFormatting><conditionalFormatting sqref=\"A1:A20\"><cfRule "
      "type=\"expression\" priority=\"2\"><formula>A1&gt;2</formula></cfRule></conditionalFormatting>"
      "<dataValidations count=\"2\"><dataValidation type=\"list\" sqref=\"F12\"><formula1>\"a,b\"</formula1>"
      "</dataValidation><dataValidation type=\"list\" sqref=\"A1 $F$12:G12 H13\"><formula1>\"c\"</formula1>"
      "</dataValidation></dataValidations><hyperlinks><hyperlink ref=\"F12\" r:id=\"rId1\"/><hyperlink "
      "ref=\"A12:C12\" location=\"'Data'!A1\"/><hyperlink ref=\"A11:A13\" r:id=\"rId2\"/><hyperlink ref=\"G13\" "
      "location=\"A1\"/></hyperlinks><legacyDrawing r:id=\"rId3\"/><extLst><ext uri=\"{78C0D931-6437-407d-A8EE-"
      "F0AAD7539E65}\" xmlns:x14=\"x14\"><x14:conditionalFormattings><x14:conditionalFormatting xmlns:xm=\"xm\">"
      "<x14:cfRule type=\"dataBar\"/><xm:sqref>F12</xm:sqref></x14:conditionalFormatting>"
      "</x14:conditionalFormattings></ext><ext xmlns:x14=\"x14\"><x14:sparklineGroups xmlns:xm=\"xm\">"
      "<x14:sparklineGroup><x14:colorSeries rgb=\"FF0000\"/><x14:sparklines><x14:sparkline><xm:f>Data!A12:E12</xm:f>"
      "<xm:sqref>H12</xm:sqref></x14:sparkline><x14:sparkline><xm:f>Data!A13:E13</xm:f><xm:sqref>H13</xm:sqref>"
      "</x14:sparkline></x14:sparklines></x14:sparklineGroup><x14:sparklineGroup><x14:colorSeries rgb=\"00FF00\"/>"
      "<x14:sparklines><x14:sparkline><xm:f>Data!A12:E12</xm:f><xm:sqref>I12</xm:sqref></x14:sparkline>"
      "</x14:sparklines></x14:sparklineGroup></x14:sparklineGroups></ext></extLst>",
      {{"rId1", "hyperlink", "https://example.com/twelve"},
       {"rId2", "hyperlink", "https://example.com/more"},
       {"rId3", "vmlDrawing", "../drawings/vmlDrawing1.vml"},
       {"rId4", "comments", "../comments1.xml"},
       {"rId5", "http://schemas.microsoft.com/office/2017/10/relationships/threadedComment",
        "../threadedComments/threadedComment1.xml"}},
      "", "",
      {{"xl/drawings/vmlDrawing1.vml", kNoteShapes},
       {"xl/comments1.xml", kComments},
       {"xl/threadedComments/threadedComment1.xml", kThreads}}));
  Document doc;
  doc.open(file);
  Worksheet ws = doc.workbook().worksheet("Data");
  EXPECT_EQ(ws.cell("C12").hidingMerge(), "B12:C12");
  EXPECT_TRUE(ws.deleteRow(12));
  EXPECT_FALSE(ws.deleteRow(12));  // nothing is left there
  EXPECT_EQ(ws.cell("C12").hidingMerge(), "");  // the merge went with the row
  EXPECT_EQ(ws.cell("D12").hidingMerge(), "D11:D13");
  doc.save();
  expectParts(readBook(file), {
      {"xl/worksheets/sheet1.xml", "<hyperlinks><hyperlink ref=\"A11:A13\" r:id=\"rId2\"/><hyperlink ref=\"G13\" "
                                   "location=\"A1\"/></hyperlinks>"},
      {"xl/worksheets/sheet1.xml", "<mergeCells count=\"1\"><mergeCell ref=\"D11:D13\"/></mergeCells>"},
      {"xl/worksheets/sheet1.xml", "!sqref=\"12:12\""},
      {"xl/worksheets/sheet1.xml", "<conditionalFormatting sqref=\"A1:A20\">"},
      {"xl/worksheets/sheet1.xml", "<dataValidations count=\"1\"><dataValidation type=\"list\" sqref=\"A1 H13\">"},
      {"xl/worksheets/sheet1.xml", "!conditionalFormattings"},
      {"xl/worksheets/sheet1.xml", "<extLst><ext xmlns:x14=\"x14\"><x14:sparklineGroups xmlns:xm=\"xm\"><x14:sparklineGroup>"
                                   "<x14:colorSeries rgb=\"FF0000\"/><x14:sparklines><x14:sparkline><xm:f>Data!A13:E13"
                                   "</xm:f><xm:sqref>H13</xm:sqref></x14:sparkline></x14:sparklines></x14:sparklineGroup>"
                                   "</x14:sparklineGroups></ext></extLst>"},
      {"xl/worksheets/_rels/sheet1.xml.rels", "!rId1"},
      {"xl/worksheets/_rels/sheet1.xml.rels", "https://example.com/more"},
      {"xl/comments1.xml", "!twelve"},
      {"xl/comments1.xml", "<t>thirteen</t>"},
      {"xl/threadedComments/threadedComment1.xml", "!ref=\"F12\""},
      {"xl/drawings/vmlDrawing1.vml", "!_x0000_s1025"},
      {"xl/drawings/vmlDrawing1.vml", "<x:Row>12</x:Row>"},
  });
  // a row with nothing but a note in it
  doc.open(file);
  ws = doc.workbook().worksheet("Data");
  EXPECT_TRUE(ws.deleteRow(13));
  doc.save();
  expectParts(readBook(file), {{"xl/comments1.xml", "!thirteen"}, {"xl/drawings/vmlDrawing1.vml", "!<x:Row>"}});
}

// ---- containers written by other programs, hostile workbooks, failed saves ----

namespace {

void put16(std::string& s, uint32_t v) { s += char(v & 0xFF), s += char(v >> 8 & 0xFF); }
void put32(std::string& s, uint32_t v) { put16(s, v & 0xFFFF), put16(s, v >> 16); }
void put64(std::string& s, uint64_t v) { put32(s, uint32_t(v)), put32(s, uint32_t(v >> 32)); }

// One deflated zip entry.
struct RawEntry {
  std::string name;
  std::string packed;
  uint32_t crc = 0;
  uint64_t size = 0;
  uint64_t declared = 0;  // the size the headers give
};

// The entry holding head, `repeat` copies of text and tail, compressed piece
// by piece so that a part that unpacks to hundreds of megabytes costs little
// to make.
RawEntry deflated(const std::string& name, const std::string& head, const std::string& text = "",
                  uint64_t repeat = 0, const std::string& tail = "") {
  RawEntry e{name, {}, uint32_t(crc32(0, nullptr, 0)), 0, 0};
  z_stream zs{};
  deflateInit2(&zs, 1, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  std::vector<char> out(1 << 16);
  auto feed = [&](const std::string& piece, bool last) {
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(piece.data()));
    zs.avail_in = uInt(piece.size());
    e.crc = uint32_t(crc32(e.crc, zs.next_in, zs.avail_in));
    e.size += piece.size();
    do {
      zs.next_out = reinterpret_cast<Bytef*>(out.data());
      zs.avail_out = uInt(out.size());
      deflate(&zs, last ? Z_FINISH : Z_NO_FLUSH);
      e.packed.append(out.data(), out.size() - zs.avail_out);
    } while (zs.avail_out == 0);
  };
  feed(head, false);
  const uint64_t perChunk = text.empty() ? 0 : std::max<uint64_t>(1, 65536 / text.size());
  std::string chunk;
  for (uint64_t k = 0; k < perChunk; ++k) chunk += text;
  for (; repeat >= perChunk && perChunk > 0; repeat -= perChunk) feed(chunk, false);
  feed(chunk.substr(0, size_t(repeat * text.size())) + tail, true);
  deflateEnd(&zs);
  e.declared = e.size;
  return e;
}

// How an entry's sizes follow its data when the local header leaves them out.
enum class Descriptor { None, Signed, Unsigned, Zip64 };

// The zip file as other programs write it: Zip64 descriptors come with a
// Zip64 extra field in the local header only (version 4.5 there, 2.0 in the
// directory), as Apache POI writes them.
std::string rawZip(const std::vector<RawEntry>& entries, Descriptor form, const std::string& trailer = "") {
  std::string out, dir;
  for (const RawEntry& e : entries) {
    const uint32_t offset = uint32_t(out.size());
    const bool later = form != Descriptor::None;
    std::string extra;
    if (form == Descriptor::Zip64) put16(extra, 1), put16(extra, 16), put64(extra, 0), put64(extra, 0);
    put32(out, 0x04034b50), put16(out, form == Descriptor::Zip64 ? 45 : 20), put16(out, later ? 8 : 0);
    put16(out, 8), put32(out, 0), put32(out, later ? 0 : e.crc);
    const uint32_t sizes = form == Descriptor::Zip64 ? 0xFFFFFFFF : 0;
    put32(out, later ? sizes : uint32_t(e.packed.size())), put32(out, later ? sizes : uint32_t(e.declared));
    put16(out, uint32_t(e.name.size())), put16(out, uint32_t(extra.size()));
    out += e.name + extra + e.packed;
    if (form == Descriptor::Signed || form == Descriptor::Zip64) put32(out, 0x08074b50);
    if (later) put32(out, e.crc);
    if (form == Descriptor::Zip64) put64(out, e.packed.size()), put64(out, e.declared);
    if (form == Descriptor::Signed || form == Descriptor::Unsigned) put32(out, uint32_t(e.packed.size())), put32(out, uint32_t(e.declared));
    put32(dir, 0x02014b50), put16(dir, 20), put16(dir, 20), put16(dir, later ? 8 : 0), put16(dir, 8);
    put32(dir, 0), put32(dir, e.crc), put32(dir, uint32_t(e.packed.size())), put32(dir, uint32_t(e.declared));
    put16(dir, uint32_t(e.name.size())), put32(dir, 0), put32(dir, 0), put32(dir, 0), put32(dir, offset);
    dir += e.name;
  }
  const uint32_t dirOffset = uint32_t(out.size());
  out += dir;
  put32(out, 0x06054b50), put32(out, 0), put16(out, uint32_t(entries.size())), put16(out, uint32_t(entries.size()));
  put32(out, uint32_t(dir.size())), put32(out, dirOffset), put16(out, 0);
  return out + trailer;
}

std::vector<RawEntry> rawBook(std::function<void(Entries&)> change = nullptr) {
  Entries e = baseBook();
  if (change) change(e);
  std::vector<RawEntry> raw;
  for (const auto& [name, data] : e) raw.push_back(deflated(name, data));
  return raw;
}

}  // namespace

TEST_F(Xlsx, ContainerVariantsAndHostileWorkbooks) {
  const std::string oleMagic = "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1";
  std::string utf16;
  for (char c : std::string("EncryptedPackage")) utf16 += std::string{c, '\0'};
  // a sound sheet with many empty elements after its cells: 4 MB of text
  // whose headers declare 700 bytes, and more elements than the tree of one
  // part may take (130 MB of text)
  const std::string sheet = sheetXml("<row r=\"1\"><c r=\"A1\"><v>2</v></c></row>");
  const size_t extAt = sheet.find("</worksheet>");
  auto withElements = [&](uint64_t count) {
    return deflated("xl/worksheets/sheet2.xml", sheet.substr(0, extAt) + "<extLst>", "<x/>", count,
                    "</extLst></worksheet>");
  };
  std::vector<RawEntry> understated = rawBook(), manyNodes = rawBook();
  for (RawEntry& e : understated) {
    if (e.name == "xl/worksheets/sheet2.xml") e = withElements(1 << 20), e.declared = 700;
  }
  for (RawEntry& e : manyNodes) {
    if (e.name == "xl/worksheets/sheet2.xml") e = withElements(kMaxTreeMemory / 64 + 1);
  }
  std::string otherName = rawZip(rawBook(), Descriptor::None);
  otherName[30] ^= 0x20;  // the first local header's name differs from the directory's

  struct Case {
    const char* name;
    std::string bytes;
    const char* refusal;  // a piece of the error, or null when the workbook opens
  };
  const std::vector<Case> cases = {
      {"descriptors with signature", rawZip(rawBook(), Descriptor::Signed), nullptr},
      {"descriptors without signature", rawZip(rawBook(), Descriptor::Unsigned), nullptr},
      {"Zip64 descriptors", rawZip(rawBook(), Descriptor::Zip64), nullptr},
      {"zeros after the end record", rawZip(rawBook(), Descriptor::None, std::string(100, '\0')), nullptr},
      {"text after the end record", rawZip(rawBook(), Descriptor::Zip64, "PK\x05\x06" + std::string(30, 'j')), nullptr},
      {"local header not the directory's", otherName, "文件头与中央目录不一致"},
      {"part longer than declared", rawZip(understated, Descriptor::None), "超过声明的大小 700 字节"},
      {"too many elements in a part", rawZip(manyNodes, Descriptor::None), "过大"},
      {"two sheets on one part",
       rawZip(rawBook([](Entries& e) {
                e["xl/_rels/workbook.xml.rels"] = workbookRels("/xl/worksheets/sheet2.xml");
              }),
              Descriptor::None),
       "同一个部件"},
      {"encrypted workbook", oleMagic + std::string(600, '\0') + utf16, "密码"},
      {"other compound file", oleMagic + std::string(600, '\0'), "OLE"},
  };
  for (const Case& c : cases) {
    const QString file = dir.filePath("variant.xlsx");
    writeFile(file, c.bytes);
    Document doc;
    try {
      doc.open(file.toStdString());
      Workbook wb = doc.workbook();
      EXPECT_EQ(valueOf(wb.worksheet("My Data").cell("A1")), Value(int64_t(2))) << c.name;
      EXPECT_EQ(valueOf(wb.worksheet("Sheet1").cell("A3")), Value(int64_t(7))) << c.name;
      EXPECT_EQ(c.refusal, nullptr) << c.name << ": no error";
    } catch (const Error& e) {
      if (c.refusal == nullptr) ADD_FAILURE() << c.name << ": " << e.what();
      else EXPECT_NE(std::string(e.what()).find(c.refusal), std::string::npos) << c.name << ": " << e.what();
    }
    EXPECT_EQ(readFile(file), c.bytes) << c.name << ": the file changed";
  }
}

TEST_F(Xlsx, OpeningAndUsingManySheetsTakesLinearTime) {
  // the best of three runs of opening a workbook of n sheets and taking each
  // of its sheets by name
  auto seconds = [&](int n) {
    Entries e = baseBook();
    std::string sheets, rels;
    const std::string t = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/";
    for (int i = 1; i <= n; ++i) {
      const std::string k = std::to_string(i);
      sheets += "<sheet name=\"S" + k + "\" sheetId=\"" + k + "\" r:id=\"rId" + k + "\"/>";
      rels += "<Relationship Id=\"rId" + k + "\" Type=\"" + t + "worksheet\" Target=\"worksheets/s" + k + ".xml\"/>";
      e["xl/worksheets/s" + k + ".xml"] = sheetXml("");
    }
    std::string& wb = e["xl/workbook.xml"];
    wb.replace(wb.find("<sheets>") + 8, wb.find("</sheets>") - wb.find("<sheets>") - 8, sheets);
    e["xl/_rels/workbook.xml.rels"] =
        "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">" + rels +
        "</Relationships>";
    const std::string file = path("many.xlsx");
    writeBook(file, e);
    double best = 1e9;
    for (int run = 0; run < 3; ++run) {
      // processor time, which other work on the machine does not stretch
      const std::clock_t start = std::clock();
      Document doc;
      doc.open(file);
      Workbook book = doc.workbook();
      for (int i = 1; i <= n; ++i) book.worksheet("s" + std::to_string(i));
      best = std::min(best, double(std::clock() - start) / CLOCKS_PER_SEC);
    }
    return best;
  };
  const double few = seconds(1000), many = seconds(10000);
  // linear work gives about 10 (the small run is short, so up to 17 is
  // seen); the quadratic search this guards against gave over 100
  EXPECT_LT(many, 50 * few) << "1000 sheets: " << few << " s, 10000 sheets: " << many << " s";
}

namespace {

// In a child process: saves an edited workbook onto a full file system of
// its own (a small tmpfs in a private mount namespace) or, where it may
// mount none, under a file-size limit. Reports "kept" or "changed" for the
// old file, "full" or "limit", the files left and the save's error.
bool privateMounts() {
  if (::unshare(CLONE_NEWNS) == 0) return true;
  // without privileges: in a user namespace of its own, as the same user
  const std::string uid = std::to_string(::getuid()), gid = std::to_string(::getgid());
  if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) return false;
  auto put = [](const char* file, const std::string& text) {
    QFile f(QString::fromLatin1(file));
    return f.open(QIODevice::WriteOnly) && f.write(text.data(), qint64(text.size())) == qint64(text.size());
  };
  return put("/proc/self/setgroups", "deny") && put("/proc/self/uid_map", uid + " " + uid + " 1") &&
         put("/proc/self/gid_map", gid + " " + gid + " 1");
}

std::string saveWithoutRoom(const std::string& folder) {
  const std::string small = folder + "/small";
  QDir().mkpath(QString::fromStdString(small));
  const bool ownFs = privateMounts() && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                     ::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=64k") == 0;
  const std::string file = small + "/book.xlsx";
  Document doc;
  doc.create(file);
  if (ownFs) {
    QFile junk(QString::fromStdString(small + "/junk"));
    junk.open(QIODevice::WriteOnly | QIODevice::Unbuffered);
    const std::string block(4096, 'j');
    while (junk.write(block.data(), qint64(block.size())) == qint64(block.size())) {}
  } else {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{512, 512};
    ::setrlimit(RLIMIT_FSIZE, &limit);
  }
  const std::string before = readFile(QString::fromStdString(file));
  doc.workbook().worksheet("Sheet1").cell("A1").value() = int64_t(1);
  std::string error = "saved";
  try {
    doc.save();
  } catch (const Error& e) {
    error = e.what();
  }
  return std::string(readFile(QString::fromStdString(file)) == before ? "kept " : "changed ") +
         (ownFs ? "full " : "limit ") +
         QDir(QString::fromStdString(small)).entryList(QDir::Files).join(",").toStdString() + " " + error;
}

}  // namespace

TEST_F(Xlsx, FailedSavesNameTheReasonAndKeepTheFile) {
  Document doc;
  doc.create(path("b.xlsx"));
  ASSERT_TRUE(QDir().mkpath(dir.filePath("adir")));
  try {
    doc.saveAs(path("adir"));
    ADD_FAILURE() << "saved over a folder";
  } catch (const Error& e) {
    EXPECT_NE(std::string(e.what()).find("文件夹"), std::string::npos) << e.what();
  }

  int out[2];
  ASSERT_EQ(::pipe(out), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(out[0]);
    std::string report;
    try {
      report = saveWithoutRoom(dir.path().toStdString());
    } catch (const std::exception& e) {
      report = std::string("failed ") + e.what();
    }
    const ssize_t written = ::write(out[1], report.data(), report.size());
    ::_exit(written == ssize_t(report.size()) ? 0 : 1);
  }
  ::close(out[1]);
  std::string report;
  char buf[512];
  for (ssize_t n; (n = ::read(out[0], buf, sizeof buf)) > 0;) report.append(buf, size_t(n));
  ::close(out[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << report;
  const bool full = report.find(" full ") != std::string::npos;
  EXPECT_EQ(report.rfind(full ? "kept full book.xlsx,junk " : "kept limit book.xlsx ", 0), 0u) << report;
  EXPECT_NE(report.find(full ? kDiskFull : "超过了系统允许的大小"), std::string::npos) << report;
}
