// Source decoding, literal texts, reserved words, statement texts of parse
// contexts and the type words of names.
#include "runtime_test_util.h"

#include <QTextCodec>

#include <stdexcept>

#include "KorLexer.h"
#include "KorParser.h"
#include "errors.h"
#include "source_text.h"
#include "type_words.h"

using namespace kortest;

namespace {

const char kMarkedError[] =
    "源代码中存在非法的未知编码字符，请检查源代码文件，删除错误的编码字符后再运行！";
const char kUnknownError[] =
    "源代码不是GBK或UTF8编码，存在非法的未知编码字符，请检查源代码文件，删除错误的编码字符后再运行！";

int32_t decode(const QByteArray& in, QByteArray& out) {
  return decodeSourceText(in.constData(), in.size(), out);
}

std::string decodeError(const QByteArray& in) {
  QByteArray out;
  try {
    decode(in, out);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "<decoded>";
}

}  // namespace

TEST(SourceDecoding, Utf8WithAndWithoutMark) {
  const QByteArray text("hanshu hs_rukou() { dy(\"\xE4\xB8\xAD\"); }\n");
  QByteArray out;
  EXPECT_EQ(decode("\xEF\xBB\xBF" + text, out), 2);
  EXPECT_EQ(out, text);
  EXPECT_EQ(decode(text, out), 0);
  EXPECT_EQ(out, text);
  EXPECT_EQ(decode(QByteArray(), out), 0);
  EXPECT_TRUE(out.isEmpty());
}

TEST(SourceDecoding, Gb18030IsStoredAsUtf8) {
  QByteArray out;
  EXPECT_EQ(decode(QByteArray("zfc s = \"\xD6\xD0\xCE\xC4\";"), out), 1);  // 中文 in GBK
  EXPECT_EQ(out, QByteArray("zfc s = \"\xE4\xB8\xAD\xE6\x96\x87\";"));
  EXPECT_EQ(decode(QByteArray("\x81\x30\x81\x30"), out), 1);  // four-byte form: U+0080
  EXPECT_EQ(out, QString(QChar(0x80)).toUtf8());
  EXPECT_EQ(decode(QByteArray("\x84\x31\xA4\x37"), out), 1);  // an encoded U+FFFD is fine
}

TEST(SourceDecoding, Utf16WithMarks) {
  const QString text = QStringLiteral("dy(\"中文\");\n");
  QByteArray le("\xFF\xFE"), be("\xFE\xFF");
  for (QChar c : text) {
    le.append(char(c.unicode() & 0xff)).append(char(c.unicode() >> 8));
    be.append(char(c.unicode() >> 8)).append(char(c.unicode() & 0xff));
  }
  QByteArray out;
  EXPECT_EQ(decode(le, out), 2);
  EXPECT_EQ(out, text.toUtf8());
  EXPECT_EQ(decode(be, out), 2);
  EXPECT_EQ(out, text.toUtf8());
  // without its mark UTF-16LE text like this is neither UTF-8 nor GB18030
  EXPECT_EQ(decodeError(QByteArray("\xFF\x00\xFF\x00", 4)), kUnknownError);
}

TEST(SourceDecoding, BadInputIsRejected) {
  EXPECT_EQ(decodeError(QByteArray("\xFF\xFE")), kUnknownError);  // too short to be marked
  EXPECT_EQ(decodeError(QByteArray("\xEF\xBB\xBF" "a\xFF")), kMarkedError);
  EXPECT_EQ(decodeError(QByteArray("\xFF\xFE" "a")), kMarkedError);  // half a UTF-16 unit
  EXPECT_EQ(decodeError(QByteArray("\x80\x80\x80")), kUnknownError);
  EXPECT_EQ(decodeError(QByteArray("ab\xD6")), kUnknownError);          // cut-off character
  EXPECT_EQ(decodeError(QByteArray("\x81\x30\x81")), kUnknownError);  // cut-off four-byte form
  EXPECT_EQ(decodeError(QByteArray("\x84\x31\xA5\x30")), kUnknownError);  // outside the table
}

TEST(SourceDecoding, CodecTable) {
  EXPECT_EQ(codecName(12), QByteArray("UTF-8"));
  EXPECT_EQ(codecName(0), QByteArray("UTF-8"));
  EXPECT_EQ(codecName(-1), QByteArray("unknown"));
  EXPECT_EQ(codecName(-2), QByteArray("unknown"));
  EXPECT_EQ(codecName(-3), QByteArray("UTF-8"));
  EXPECT_EQ(codecName(14), QByteArray("IBM866"));
  // the lenient lookup finds the codecs under these spellings
  for (int id : {1, 2, 3, 4, 5, 6, 7, 8, 10, 11, 14}) {
    QTextCodec* c = QTextCodec::codecForName(codecName(id));
    EXPECT_NE(c, nullptr) << id;
  }
  EXPECT_EQ(QTextCodec::codecForName(codecName(2))->name(), QByteArray("UTF-16LE"));
  EXPECT_EQ(QTextCodec::codecForName(codecName(3))->name(), QByteArray("UTF-16BE"));
}

TEST(LiteralText, Unescape) {
  EXPECT_EQ(unescapeString("\"a\\qb\""), QByteArray("a\\qb"));
  EXPECT_EQ(unescapeString("\"a\\\\\""), QByteArray("a\\"));
  EXPECT_EQ(unescapeString("\"\""), QByteArray());
  EXPECT_EQ(unescapeString("\"x\""), QByteArray("x"));
  EXPECT_EQ(unescapeString("\"\\n\\t\\r\\b\\\"\\'\""), QByteArray("\n\t\r\b\"'"));
  EXPECT_EQ(unescapeString("\"a\\\""), QByteArray("a\\"));  // backslash as last byte of the range
  EXPECT_EQ(unescapeString("'"), QByteArray());
}

TEST(LiteralText, RawBody) {
  EXPECT_EQ(rawStringBody("R\"(a\\n\"b)\""), QByteArray("a\\n\"b"));
  EXPECT_EQ(rawStringBody("R\"()\""), QByteArray());
  EXPECT_EQ(rawStringBody("r\"a\\b\""), QByteArray("a\\b"));
  EXPECT_EQ(rawStringBody("R"), QByteArray());
}

TEST(LiteralText, ReservedWords) {
  for (const char* w : {"dy", "pass", "and", "zfc", "struct", "while", "excel", "hux"})
    EXPECT_TRUE(isReservedWord(w)) << w;
  for (const char* w : {"jiegou", "sf", "Zs", "z", "", "dyy", "zfcx"})
    EXPECT_FALSE(isReservedWord(w)) << w;
}

TEST(FatalErrors, RaiseThrowsTheMessage) {
  CoutCapture out;  // the colour change never goes through std::cout
  try {
    raiseScriptError(QStringLiteral("错误：行号 %1").arg(3));
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "错误：行号 3");
  }
  EXPECT_EQ(out.text(), "");
}

// ---------------------------------------------------------------- contexts

namespace {

class ParsedSource : public RunTables {
 protected:
  void parse(const std::string& src) {
    input_ = std::make_unique<antlr4::ANTLRInputStream>(src);
    lexer_ = std::make_unique<KorLexer>(input_.get());
    lexer_->removeErrorListeners();
    tokens_ = std::make_unique<antlr4::CommonTokenStream>(lexer_.get());
    parser_ = std::make_unique<KorParser>(tokens_.get());
    parser_->removeErrorListeners();
    tree_ = parser_->program();
    tokenStream = tokens_.get();
  }
  void TearDown() override {
    tokenStream = nullptr;
    RunTables::TearDown();
  }
  template <typename Ctx>
  Ctx* first(antlr4::tree::ParseTree* t) {
    if (auto* c = dynamic_cast<Ctx*>(t)) return c;
    for (auto* child : t->children)
      if (Ctx* c = first<Ctx>(child)) return c;
    return nullptr;
  }
  std::unique_ptr<antlr4::ANTLRInputStream> input_;
  std::unique_ptr<KorLexer> lexer_;
  std::unique_ptr<antlr4::CommonTokenStream> tokens_;
  std::unique_ptr<KorParser> parser_;
  KorParser::ProgramContext* tree_ = nullptr;
};

}  // namespace

TEST_F(ParsedSource, StatementAndContextTexts) {
  parse("hanshu hs_rukou() {\n  zs a = 1 +  2; // note\n  dy(a);\n}\n");
  auto* def = first<KorParser::DefvarContext>(tree_);
  ASSERT_NE(def, nullptr);
  EXPECT_EQ(lineOfContext(def), 2);
  EXPECT_EQ(contextSourceText(def), QStringLiteral("zs a = 1 +  2;"));
  // every token starting on the statement's line, the line break after it included
  EXPECT_EQ(statementTextAt(def), QStringLiteral("zs a = 1 +  2; // note\n  "));
  EXPECT_EQ(QString::fromStdString(def->getText()), QStringLiteral("zsa=1+2;"));
  EXPECT_EQ(lineOfContext(nullptr), -1);
  // before the scope stack exists: the script's own statement keeps its line
  EXPECT_EQ(scopedLineOfContext(def), 2);
  scopeStack();
  EXPECT_EQ(scopedLineOfContext(def), 2);
  // without the run's token stream the parser's own text is used
  tokenStream = nullptr;
  EXPECT_EQ(contextSourceText(def), QStringLiteral("zsa=1+2;"));
  EXPECT_EQ(statementTextAt(def), QStringLiteral("zsa=1+2;"));
}

TEST_F(ParsedSource, LinesInsideTheGlobalBlock) {
  parse("hanshu hs_rukou() {\n  zs a = 1;\n}\n");
  auto* def = first<KorParser::DefvarContext>(tree_);
  EXPECT_EQ(lineInGlobalBlock(def), 2);
  registerFunction("global", "", {}, {})->startLine = 10;
  EXPECT_EQ(lineInGlobalBlock(def), 11);
}

TEST_F(ParsedSource, MissingStructTypeRaisesWithStatementText) {
  parse("hanshu hs_rukou() {\n  zs a = 1;\n}\n");
  auto* def = first<KorParser::DefvarContext>(tree_);
  try {
    findGlobal("Pt", def, true);
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(),
                 "错误：行号 2 找不到结构体类型 Pt，语句 zs a = 1; 结构体没有定义！类型 Pt "
                 "不是基本类型关键字或结构体名称，是不是写错？");
  }
}

// ---------------------------------------------------------------- type words

class TypeWords : public RunTables {
 protected:
  void declareStruct(const char* name) {
    ScopeRecord* r = takeScopeRecord();
    r->name = name;
    r->kind = VT_STRUCT_DESC;
    r->payload.names = new ByteStringList{"x", "zs"};
    addGlobal(name, r);
  }
};

TEST_F(TypeWords, CodesOfTypeWords) {
  const std::pair<const char*, int> cases[] = {
      {"zs", 0},   {"zsx", 0},  {"czs", 1},   {"cz", 1},    {"xs", 2},     {"bl", 3},
      {"blob", 3}, {"zf", 4},   {"zfx", 4},   {"zfcx", 4},  {"zfc", 9},    {"kzf", 5},
      {"string", 10}, {"lb", 11}, {"zd", 12}, {"wj", 13},   {"sj", 14},    {"excel", 15},
      {"exit", 15}, {"hs", 16}, {"hsfoo", 16}, {"hd", 16},  {"kor", 21},   {"hux", 22},
      {"kz", -1},  {"kzfx", -1}, {"korx", -1}, {"stringy", -1}, {"z", -1}, {"", -1},
      {"Point", -1}, {"z\xE4", -1}};
  for (const auto& c : cases) EXPECT_EQ(typeCodeOfKeyword(c.first), c.second) << c.first;
}

TEST_F(TypeWords, DeclaredStructs) {
  declareStruct("Point");
  declareStruct("blPoint");
  EXPECT_EQ(typeCodeOfKeyword("Point"), 8);
  EXPECT_EQ(typeCodeOfKeyword("blPoint"), 3);
  ScopeRecord* notStruct = takeScopeRecord();
  notStruct->name = "count";
  notStruct->kind = VT_INT;
  addGlobal("count", notStruct);
  EXPECT_EQ(typeCodeOfKeyword("count"), -1);
}

TEST_F(TypeWords, DescribedNames) {
  declareStruct("Point");
  EXPECT_EQ(describeTypeName("", nullptr), QString());
  EXPECT_EQ(describeTypeName("zfc", nullptr), QStringLiteral("包名或 zfc 类型"));
  EXPECT_EQ(describeTypeName("Point", nullptr), QStringLiteral("结构描述类型 Point"));
  ScopeRecord* p = pushScopeRecord(VT_STRUCT);
  p->name = "pt";
  p->payload.st = new StructValue();
  p->payload.st->typeName = "Point";
  EXPECT_EQ(describeTypeName("pt", nullptr), QStringLiteral("结构类型 Point"));
  ScopeRecord* l = pushScopeRecord(VT_LIST);
  l->name = "items";
  l->payload.list = newValueList();
  EXPECT_EQ(describeTypeName("items", nullptr), QStringLiteral("列表类型"));
  EXPECT_THROW(describeTypeName("missing", nullptr), std::runtime_error);
}
