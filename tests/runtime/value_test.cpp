// The value cell and its type words; copying, sharing and releasing values.
#include "runtime_test_util.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include "workbook.h"

using namespace kortest;

// ---------------------------------------------------------------- cell and type words

TEST(ValueCell, FreshCellIsEmptyAndNoKey) {
  ExprValue c;
  EXPECT_EQ(c.type, -1);
  EXPECT_EQ(c.owner, nullptr);
  EXPECT_EQ(c.payload.i64, 0);
  EXPECT_FALSE(isKeyType(c));
  EXPECT_EQ(sizeof(ExprValue), 24u);
}

TEST(ValueCell, KeywordsAndDescriptions) {
  ExprValue pkg;
  pkg.type = VT_TYPE_NAME;
  pkg.payload.i32 = VT_LIST;
  EXPECT_EQ(typeKeyword(19, &pkg), QByteArray("package:lb"));
  EXPECT_EQ(typeKeyword(19, nullptr), QByteArray("global_package"));
  EXPECT_EQ(typeKeyword(21, nullptr), QByteArray("error-type"));
  EXPECT_EQ(typeKeyword(17, nullptr), QByteArray("error-type"));
  EXPECT_EQ(typeKeyword(18, nullptr), QByteArray("hs"));
  EXPECT_EQ(typeKeyword(6, nullptr), QByteArray("error-type"));
  EXPECT_EQ(typeDescription(19, &pkg), QStringLiteral("列表类型"));
  EXPECT_EQ(typeDescription(19, nullptr), QStringLiteral("全局包类型"));
  EXPECT_EQ(typeDescription(21, nullptr), QStringLiteral("Kor 包类型"));
  EXPECT_EQ(typeDescription(5, nullptr), QStringLiteral("U16 宽字符类型"));
  EXPECT_EQ(typeDescription(99, nullptr), QStringLiteral("未知类型"));

  ExprValue st;
  st.type = VT_STRUCT;
  st.payload.st = new StructValue();
  st.payload.st->typeName = "Point";
  EXPECT_EQ(typeDescription(8, &st), QStringLiteral("结构类型 Point"));
  EXPECT_EQ(typeDescription(8, nullptr), QStringLiteral("结构类型"));
  EXPECT_EQ(structTypeName(st), QByteArray("Point"));
  EXPECT_EQ(structTypeCode(st), 0);
  freeValue(st);
}

TEST(ValueCell, TypesWithMethods) {
  for (int code = -1; code < 60; ++code)
    EXPECT_EQ(typeHasMethods(code), code == 4 || code == 5 || (code >= 8 && code <= 15)) << code;
}

TEST(ValueCell, ByteStringBuilders) {
  ExprValue c;
  setByteStringStd(c, std::string("abc"), true);  // reuse only: no byte string yet
  EXPECT_EQ(c.type, VT_BYTES);
  EXPECT_EQ(c.payload.bytes, nullptr);
  setByteStringStd(c, std::string("abc"), false);
  ASSERT_NE(c.payload.bytes, nullptr);
  QByteArray* kept = c.payload.bytes;
  setByteString(c, QByteArray("xy"));
  EXPECT_EQ(c.payload.bytes, kept);  // reused
  EXPECT_EQ(byteStringToStd(c), "xy");
  setByteStringStd(c, std::string("zz"), true);
  EXPECT_EQ(*c.payload.bytes, QByteArray("zz"));
  freeValue(c);
  EXPECT_EQ(c.type, VT_BYTES);
  EXPECT_EQ(c.payload.bytes, nullptr);
}

TEST(ValueCell, FilePathOfEmptyFileCell) {
  ExprValue f;
  f.type = VT_FILE;
  EXPECT_TRUE(fileValuePath(f).isEmpty());
  FileValue fv;
  f.payload.file = &fv;
  EXPECT_TRUE(fileValuePath(f).isEmpty());  // no QFileInfo
}

// ---------------------------------------------------------------- sharing

class Sharing : public RunTables {};

TEST_F(Sharing, TwoHoldersOfOneList) {
  ExprValue a = listOf({bytes("x"), makeIntValue(2), listOf({makeIntValue(3)})});
  ExprValue b = copyValue(a, false);
  ASSERT_EQ(b.payload.list, a.payload.list);
  EXPECT_EQ(sharedRefCount(a.payload.list), 2);

  const size_t pooledBefore = valuePoolSize();
  freeValue(a);
  EXPECT_EQ(a.payload.list, nullptr);
  EXPECT_EQ(sharedRefCount(b.payload.list), 1);
  EXPECT_EQ(text(b), "[\"x\",2,[3]]");
  EXPECT_EQ(valuePoolSize(), pooledBefore);

  freeValue(b);  // last holder: every element goes back to the pool
  EXPECT_EQ(valuePoolSize(), pooledBefore + 4);
  EXPECT_TRUE(sharedAllReleased());
}

TEST_F(Sharing, DropSharedRefCounts) {
  FileValue dummy;
  EXPECT_EQ(dropSharedRef(&dummy), 0);  // not counted
  EXPECT_EQ(addSharedRef(&dummy), 1);
  EXPECT_EQ(addSharedRef(&dummy), 2);
  FileValue copied = dummy;  // a copy is a payload of its own
  EXPECT_EQ(sharedRefCount(&copied), 1);
  EXPECT_EQ(dropSharedRef(&dummy), 1);
  EXPECT_EQ(dropSharedRef(&dummy), 0);
  EXPECT_TRUE(sharedAllReleased());
  ExprValue s = bytes("a");
  EXPECT_EQ(sharedRefOfValue(s), 0);  // not a shared type
  freeValue(s);
}

TEST_F(Sharing, DeepCopyOfNestedListsIsIndependent) {
  ExprValue a = listOf({makeIntValue(1), listOf({makeIntValue(2), listOf({bytes("s")})})});
  ExprValue c = copyValue(a, true);
  ValueList* innerA = (*a.payload.list)[1]->payload.list;
  ValueList* innerC = (*c.payload.list)[1]->payload.list;
  ASSERT_NE(innerA, innerC);
  EXPECT_EQ(sharedRefCount(c.payload.list), 1);
  EXPECT_EQ(sharedRefCount(innerC), 1);
  EXPECT_EQ(sharedRefCount(innerA), 1);
  EXPECT_NE((*innerA)[1]->payload.list, (*innerC)[1]->payload.list);

  innerC->push_back(pooled(makeIntValue(9)));
  setByteString(*(*(*innerC)[1]->payload.list)[0], QByteArray("t"));
  EXPECT_EQ(text(a), "[1,[2,[\"s\"]]]");
  EXPECT_EQ(text(c), "[1,[2,[\"t\"],9]]");
  freeValue(a);
  freeValue(c);
  EXPECT_TRUE(sharedAllReleased());
}

TEST_F(Sharing, DeepCopyOfDictWithByteStringKeys) {
  ExprValue d = makeDictValue();
  dictPut(d, bytes("k1"), makeIntValue(1));
  dictPut(d, bytes("k2"), listOf({bytes("v")}));
  dictPut(d, makeStringValue(QStringLiteral("宽")), makeDoubleValue(0.5));
  ExprValue c = copyValue(d, true);
  ASSERT_NE(c.payload.dict, d.payload.dict);
  EXPECT_EQ(c.payload.dict->size(), 3u);
  for (ValueDict::Node* n = d.payload.dict->first(); n; n = n->next) {
    ValueDict::Node* m = c.payload.dict->find(n->key);
    ASSERT_NE(m, nullptr);
    EXPECT_NE(m->key.payload.ptr, n->key.payload.ptr);  // own key objects
    EXPECT_NE(m->value, n->value);
  }
  // the inner list is duplicated too
  ExprValue k2 = bytes("k2");
  ExprValue* v1 = d.payload.dict->find(k2)->value;
  ExprValue* v2 = c.payload.dict->find(k2)->value;
  EXPECT_NE(v1->payload.list, v2->payload.list);
  freeValue(k2);
  // releasing both frees every key exactly once (checked by the sanitizer build)
  freeValue(d);
  freeValue(c);
  EXPECT_TRUE(sharedAllReleased());
}

TEST_F(Sharing, StructCopySharesContainersAndDuplicatesStrings) {
  ExprValue s;
  s.type = VT_STRUCT;
  s.payload.st = new StructValue();
  s.payload.st->typeName = "Rec";
  s.payload.st->members = new MemberCells{
      pooled(listOf({makeIntValue(1)})), pooled(bytes("name")),
      pooled(makeTimeValue(QDateTime(QDate(2024, 1, 2), QTime(3, 4, 5))))};
  ExprValue c = copyValue(s, false);
  ASSERT_NE(c.payload.st, s.payload.st);
  auto& ms = *s.payload.st->members;
  auto& mc = *c.payload.st->members;
  EXPECT_EQ(mc[0]->payload.list, ms[0]->payload.list);
  EXPECT_EQ(sharedRefCount(ms[0]->payload.list), 2);
  EXPECT_NE(mc[1]->payload.bytes, ms[1]->payload.bytes);
  EXPECT_EQ(*mc[1]->payload.bytes, *ms[1]->payload.bytes);
  EXPECT_NE(mc[2]->payload.time, ms[2]->payload.time);
  EXPECT_EQ(c.payload.st->typeName, QByteArray("Rec"));
  EXPECT_EQ(text(c), "{[1],\"name\",2024-01-02 03:04:05}");
  freeValue(s);
  EXPECT_EQ(sharedRefCount(mc[0]->payload.list), 1);
  freeValue(c);
  EXPECT_TRUE(sharedAllReleased());
}

TEST_F(Sharing, CopiesOfNameRecordsAreFreedOnce) {
  ExprValue f = makeFunctionValue("cb");
  ExprValue g = copyValue(f, false);
  EXPECT_NE(g.payload.fn, f.payload.fn);
  EXPECT_EQ(text(g), "->cb");
  freeValue(f);
  freeValue(g);
  ExprValue desc;
  desc.type = VT_STRUCT_DESC;
  desc.payload.names = new ByteStringList{"x", "zs"};
  ExprValue d2 = copyValue(desc, true);
  freeValue(desc);
  EXPECT_EQ(d2.payload.names->size(), 2);
  freeValue(d2);
}

TEST_F(Sharing, PoolKeepsTypeOfReturnedCell) {
  ExprValue* c = takeValueCell();
  *c = bytes("x");
  freeValue(*c);
  returnValueCell(c);
  ExprValue* again = takeValueCell();
  EXPECT_EQ(again, c);
  EXPECT_EQ(again->type, VT_BYTES);
  EXPECT_EQ(again->payload.ptr, nullptr);
  returnValueCell(again);
}

TEST_F(Sharing, MoveTakesOwnershipOfHeapPayloads) {
  ExprValue s = bytes("abc");
  ExprValue* m = moveValueToPool(s);
  EXPECT_EQ(s.payload.bytes, nullptr);
  EXPECT_EQ(*m->payload.bytes, QByteArray("abc"));
  ExprValue n = makeIntValue(7);
  ExprValue* mi = moveValueToPool(n);
  EXPECT_EQ(n.payload.i32, 7);
  EXPECT_EQ(mi->payload.i32, 7);
  freeValue(*m);
  returnValueCell(m);
  returnValueCell(mi);
}

TEST_F(Sharing, ClearKeepsContainerAndCount) {
  ExprValue l = listOf({bytes("a"), makeIntValue(1)});
  ExprValue l2 = copyValue(l, false);
  clearListValue(l);
  EXPECT_TRUE(l2.payload.list->empty());
  EXPECT_EQ(sharedRefCount(l.payload.list), 2);
  ExprValue d = makeDictValue();
  dictPut(d, bytes("k"), bytes("v"));
  clearDictValue(d);
  EXPECT_EQ(d.payload.dict->size(), 0u);
  EXPECT_EQ(d.payload.dict->first(), nullptr);
  dictPut(d, bytes("k"), makeIntValue(2));
  EXPECT_EQ(text(d), "{\"k\":2}");
  freeValue(l);
  freeValue(l2);
  freeValue(d);
}

TEST_F(Sharing, TypedReleasesRefuseOtherCells) {
  ExprValue s = bytes("x");
  EXPECT_FALSE(releaseFileValue(s));
  EXPECT_EQ(*s.payload.bytes, QByteArray("x"));
  ExprValue f;
  f.type = VT_FILE;
  EXPECT_FALSE(releaseFileValue(f));
  EXPECT_FALSE(releaseListValue(s));
  releaseSharedValue(s);  // not shared: untouched
  ASSERT_NE(s.payload.bytes, nullptr);
  freeValue(s);
  ExprValue l = makeListValue();
  EXPECT_TRUE(releaseListValue(l));
  EXPECT_EQ(l.payload.list, nullptr);
}

// ---------------------------------------------------------------- files and workbooks

namespace {

struct Counts {
  int saves = 0;
  int closes = 0;
  int destroyed = 0;
};

class CountingWorkbook : public Workbook {
 public:
  CountingWorkbook(Counts* c) : c_(c) {}
  ~CountingWorkbook() override { ++c_->destroyed; }
  bool isOpen() const override { return c_->closes == 0; }
  bool save() override {
    ++c_->saves;
    return true;
  }
  void close() override {
    ++c_->closes;
  }

 private:
  Counts* c_;
};

ExprValue excelCell(Counts* counts) {
  ExprValue x;
  x.type = VT_EXCEL;
  x.payload.excel = new ExcelValue{new CountingWorkbook(counts), QByteArray("/tmp/book.xlsx")};
  addSharedRef(x.payload.excel);
  return x;
}

}  // namespace

TEST_F(Sharing, LastReleaseSavesWorkbookAfterSuccess) {
  Counts counts;
  ExprValue a = excelCell(&counts);
  ExprValue b = copyValue(a, true);  // workbooks are always shared
  EXPECT_EQ(b.payload.excel, a.payload.excel);
  EXPECT_EQ(text(a), "excel:/tmp/book.xlsx ");
  freeValue(a);
  EXPECT_EQ(counts.saves, 0);
  EXPECT_EQ(counts.closes, 0);
  freeValue(b);
  EXPECT_EQ(counts.saves, 1);
  EXPECT_EQ(counts.closes, 1);
  EXPECT_EQ(counts.destroyed, 1);
}

TEST_F(Sharing, FailedRunClosesWorkbookWithoutSavingForEveryHolder) {
  Counts counts;
  ExprValue a = excelCell(&counts);
  ExprValue b = copyValue(a, false);
  runFailed = true;
  freeValue(a);  // another holder remains, but the run failed: closed now
  EXPECT_EQ(counts.saves, 0);
  EXPECT_EQ(counts.closes, 1);
  EXPECT_EQ(counts.destroyed, 1);
  EXPECT_EQ(b.payload.excel->doc, nullptr);
  freeValue(b);  // only the record is left to free
  EXPECT_EQ(counts.closes, 1);
}

TEST_F(Sharing, FilesCloseOnLastReleaseOrAfterFailure) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString path = dir.filePath(QStringLiteral("a.txt"));
  auto makeFile = [&]() {
    ExprValue f;
    f.type = VT_FILE;
    f.payload.file = new FileValue{new QFile(path), new QFileInfo(path)};
    EXPECT_TRUE(f.payload.file->file->open(QIODevice::WriteOnly));
    addSharedRef(f.payload.file);
    return f;
  };
  ExprValue a = makeFile();
  EXPECT_EQ(fileValuePath(a), QFileInfo(path).absoluteFilePath().toUtf8());
  EXPECT_EQ(text(a), ("file:" + path + " ").toStdString());
  ExprValue b = copyValue(a, false);
  freeValue(a);
  EXPECT_TRUE(b.payload.file->file->isOpen());
  freeValue(b);

  ExprValue c = makeFile();
  ExprValue d = copyValue(c, false);
  runFailed = true;
  freeValue(c);
  EXPECT_EQ(d.payload.file->file, nullptr);
  EXPECT_EQ(text(d), "kong");
  freeValue(d);
}
