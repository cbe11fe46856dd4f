// Comparing values, dict keys and the dict's walk order, conversion for
// typed assignment and display texts.
#include "runtime_test_util.h"

#include <QDateTime>

#include <cmath>
#include <stdexcept>

using namespace kortest;

class Compare : public RunTables {};

// ---------------------------------------------------------------- compareValues

TEST_F(Compare, Numbers) {
  EXPECT_EQ(compareValues(makeIntValue(3), makeDoubleValue(3.0), false), 0);
  EXPECT_EQ(compareValues(makeDoubleValue(2.5), makeIntValue(3), false), -1);
  EXPECT_EQ(compareValues(makeIntValue(-1), makeLongValue(-1), false), 0);
  EXPECT_EQ(compareValues(makeLongValue(int64_t(1) << 40), makeIntValue(5), false), 1);
  EXPECT_EQ(compareValues(makeIntValue(-5), makeIntValue(2), false), -1);
  EXPECT_EQ(compareValues(makeDoubleValue(NAN), makeDoubleValue(1), false), -1);
  EXPECT_EQ(compareValues(makeDoubleValue(1), makeDoubleValue(NAN), false), -1);
}

TEST_F(Compare, BooleansAndCharacters) {
  EXPECT_EQ(compareValues(makeBoolValue(true), makeBoolValue(false), false), 2);
  EXPECT_EQ(compareValues(makeBoolValue(false), makeBoolValue(true), false), 2);
  EXPECT_EQ(compareValues(makeBoolValue(true), makeBoolValue(true), false), 0);
  EXPECT_EQ(compareValues(makeCharValue(char(0xE9)), makeCharValue('A'), false), -1);  // signed
  EXPECT_EQ(compareValues(makeCharValue(char(0xE9)), makeWCharValue(0xE9), false), 0);  // Latin-1
  EXPECT_EQ(compareValues(makeWCharValue(0x4E2D), makeCharValue(char(0xE9)), false), 1);
  EXPECT_EQ(compareValues(makeWCharValue(0x8000), makeWCharValue(0x7FFF), false), 1);  // unsigned
}

TEST_F(Compare, TextsAndTimes) {
  ExprValue a = bytes("abc"), b = bytes("abd"), hi = bytes("\xC3\xA9");
  ExprValue nul;
  nul.type = VT_BYTES;
  EXPECT_EQ(compareValues(a, b, false), -1);
  EXPECT_EQ(compareValues(hi, a, false), 1);  // bytes compare unsigned
  EXPECT_EQ(compareValues(a, a, false), 0);
  EXPECT_EQ(compareValues(nul, nul, false), 0);
  EXPECT_EQ(compareValues(a, nul, false), 1);
  EXPECT_EQ(compareValues(nul, a, false), -1);
  ExprValue empty = bytes("");
  EXPECT_EQ(compareValues(empty, nul, false), 0);  // a null byte string is the empty one
  ExprValue s1 = makeStringValue("a"), s2 = makeStringValue("B");
  EXPECT_EQ(compareValues(s1, s2, false), 1);  // case-sensitive
  ExprValue t1 = makeTimeValue(QDateTime(QDate(2020, 1, 1), QTime(0, 0)));
  ExprValue t2 = makeTimeValue(QDateTime(QDate(2021, 1, 1), QTime(0, 0)));
  ExprValue tn;
  tn.type = VT_TIME;
  EXPECT_EQ(compareValues(t2, t1, false), 1);
  EXPECT_EQ(compareValues(t1, t2, false), -1);
  EXPECT_EQ(compareValues(tn, t1, false), -1);
  for (ExprValue* v : {&a, &b, &hi, &empty, &s1, &s2, &t1, &t2}) freeValue(*v);
}

TEST_F(Compare, RefusedPairsAndWarnings) {
  ExprValue s = bytes("x");
  {
    CoutCapture out;
    EXPECT_EQ(compareValues(s, makeIntValue(1), true), -100);
    EXPECT_EQ(compareValues(makeLongValue(1), s, true), -100);
    EXPECT_EQ(out.text(), "字符串和整数不能进行逻辑比对大小运算\n字符串和整数不能进行逻辑比对大小运算\n");
  }
  {
    CoutCapture out;
    EXPECT_EQ(compareValues(makeDoubleValue(1), s, true), -100);
    EXPECT_EQ(out.text(), "字符串和小数不能进行逻辑比对大小运算\n");
  }
  ExprValue l1 = listOf({makeIntValue(1)}), l2 = listOf({makeIntValue(2)});
  {
    CoutCapture out;
    EXPECT_EQ(compareValues(l1, l2, true), -100);
    EXPECT_EQ(out.text(), "变量 [1] 和表达式只 [2] 不能进行类型对比\n");
  }
  {
    CoutCapture out;
    EXPECT_EQ(compareValues(makeBoolValue(true), makeIntValue(1), false), -100);
    EXPECT_EQ(compareValues(makeCharValue('a'), makeIntValue(97), false), -100);
    EXPECT_EQ(out.text(), "");  // no warning without warn
  }
  freeValue(s);
  freeValue(l1);
  freeValue(l2);
}

// ---------------------------------------------------------------- dict keys

TEST_F(Compare, KeyHashAndEquality) {
  EXPECT_EQ(fnv1a(QByteArray()), 0xcbf29ce484222325ULL);
  EXPECT_EQ(fnv1a(QByteArray("a")), 0xaf63dc4c8601ec8cULL);
  ExprValue a = bytes("a");
  EXPECT_EQ(hashValueKey(a), 0xaf63dc4c8601ec8cULL);
  EXPECT_EQ(hashValueKey(makeIntValue(5)), hashValueKey(makeLongValue(5)));
  EXPECT_EQ(hashValueKey(makeIntValue(-1)), hashValueKey(makeLongValue(-1)));
  // an integer key hashes its eight bytes, low byte first
  const unsigned char longBytes[] = {0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x81};
  EXPECT_EQ(hashValueKey(makeLongValue(int64_t(0x8102030405060708ULL))), fnv1a(longBytes, 8));
  EXPECT_TRUE(valueKeyEqual(makeIntValue(5), makeLongValue(5)));
  EXPECT_FALSE(valueKeyEqual(makeCharValue('a'), makeWCharValue('a')));
  // a string key hashes its UTF-16 units, low byte first
  ExprValue w = makeStringValue(QStringLiteral("a"));
  const unsigned char unitBytes[] = {'a', 0};
  EXPECT_EQ(hashValueKey(w), fnv1a(unitBytes, 2));
  const unsigned char charBytes[] = {'a', 0, 0, 0};
  EXPECT_EQ(hashValueKey(makeCharValue('a')), fnv1a(charBytes, 4));
  EXPECT_EQ(hashValueKey(makeWCharValue('a')), fnv1a(charBytes, 4));
  ExprValue n1, n2;
  n1.type = n2.type = VT_BYTES;
  EXPECT_TRUE(valueKeyEqual(n1, n2));
  EXPECT_FALSE(valueKeyEqual(n1, a));
  freeValue(a);
  freeValue(w);
}

TEST_F(Compare, BadKeysRaise) {
  ExprValue l = makeListValue();
  ExprValue nul;
  nul.type = VT_BYTES;
  for (const ExprValue& k : {l, makeDoubleValue(1.5), nul}) {
    try {
      hashValueKey(k);
      ADD_FAILURE() << "no error for type " << k.type;
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()),
                "错误：只有整数、字符、字符串能做字典的关键字,当前表达式类型不可做关键字！");
    }
  }
  freeValue(l);
}

TEST_F(Compare, DictFindsIntegerKeyUnderLong) {
  ExprValue d = makeDictValue();
  dictPut(d, makeLongValue(5), bytes("five"));
  ValueDict::Node* n = dictFindNode(d.payload.dict, makeIntValue(5), hashValueKey(makeIntValue(5)));
  ASSERT_NE(n, nullptr);
  EXPECT_EQ(*n->value->payload.bytes, QByteArray("five"));
  EXPECT_FALSE(dictEmplace(d.payload.dict, makeIntValue(5)).second);
  freeValue(d);
}

// ---------------------------------------------------------------- dict walk order

namespace {

// Keys in walk order.
std::vector<int64_t> walk(const ValueDict* d) {
  std::vector<int64_t> keys;
  for (ValueDict::Node* n = d->first(); n; n = n->next) keys.push_back(n->key.asInt64());
  return keys;
}

// The nodes of every bucket lie next to each other in the walk.
bool bucketsAdjacent(const ValueDict* d) {
  std::vector<size_t> seen;
  size_t last = size_t(-1);
  for (ValueDict::Node* n = d->first(); n; n = n->next) {
    size_t b = n->hash % d->bucketCount();
    if (b != last) {
      for (size_t s : seen)
        if (s == b) return false;
      seen.push_back(b);
      last = b;
    }
  }
  return true;
}

}  // namespace

TEST_F(Compare, DictWalkOrderFollowsInsertionRule) {
  auto bucketOf = [](int64_t k) { return hashValueKey(makeLongValue(k)) % 8; };
  // eight keys from two buckets, inserted alternately
  std::vector<int64_t> first, second;
  for (int64_t k = 0; first.size() < 4 || second.size() < 4; ++k) {
    if (bucketOf(k) == bucketOf(0) && first.size() < 4) first.push_back(k);
    else if (bucketOf(k) == bucketOf(1) && bucketOf(1) != bucketOf(0) && second.size() < 4)
      second.push_back(k);
  }
  std::vector<int64_t> keys;
  for (int i = 0; i < 4; ++i) {
    keys.push_back(first[i]);
    keys.push_back(second[i]);
  }
  // reference: a new key goes last when its bucket is empty, else directly
  // before the first key of its bucket
  ValueDict d;
  std::vector<int64_t> model;
  for (int64_t k : keys) {
    auto it = model.begin();
    while (it != model.end() && bucketOf(*it) != bucketOf(k)) ++it;
    model.insert(it, k);
    ASSERT_TRUE(d.emplace(makeLongValue(k), hashValueKey(makeLongValue(k))).second);
  }
  EXPECT_EQ(d.bucketCount(), 8u);
  EXPECT_EQ(walk(&d), model);
  EXPECT_EQ(model, (std::vector<int64_t>{first[3], first[2], first[1], first[0], second[3],
                                         second[2], second[1], second[0]}));
}

TEST_F(Compare, DictGrowthKeepsRuleAndDeterminism) {
  ValueDict a, b;
  std::vector<size_t> counts;
  for (int64_t k = 0; k < 5000; ++k) {
    ExprValue key = makeLongValue(k * 7919);
    a.emplace(key, hashValueKey(key));
    b.emplace(key, hashValueKey(key));
    if (counts.empty() || counts.back() != a.bucketCount()) counts.push_back(a.bucketCount());
  }
  EXPECT_EQ(counts, (std::vector<size_t>{8, 64, 512, 1024, 2048, 4096, 8192}));
  EXPECT_EQ(a.size(), 5000u);
  EXPECT_EQ(walk(&a), walk(&b));
  EXPECT_TRUE(bucketsAdjacent(&a));
  for (int64_t k = 0; k < 5000; ++k) ASSERT_NE(a.find(makeLongValue(k * 7919)), nullptr);

  // after growth: a key into a non-empty bucket goes directly before its
  // bucket's first node, a key into an empty bucket goes last
  const size_t buckets = a.bucketCount();
  int64_t probe = 1;
  ValueDict::Node* firstOfBucket = nullptr;
  for (;; ++probe) {
    const uint64_t h = hashValueKey(makeLongValue(probe));
    if (a.find(makeLongValue(probe))) continue;
    for (ValueDict::Node* n = a.first(); n; n = n->next)
      if (n->hash % buckets == h % buckets) {
        firstOfBucket = n;
        break;
      }
    if (firstOfBucket) break;
  }
  ValueDict::Node* added = a.emplace(makeLongValue(probe), hashValueKey(makeLongValue(probe))).first;
  EXPECT_EQ(added->next, firstOfBucket);
  ASSERT_EQ(a.bucketCount(), buckets);
}

TEST_F(Compare, DictEraseKeepsBucketsConsistent) {
  ValueDict d;
  for (int64_t k = 0; k < 100; ++k) d.emplace(makeLongValue(k), hashValueKey(makeLongValue(k)));
  for (int64_t k = 0; k < 100; k += 3) {
    ValueDict::Node* n = d.find(makeLongValue(k));
    ASSERT_NE(n, nullptr);
    d.erase(n);
  }
  EXPECT_EQ(d.size(), 66u);
  EXPECT_TRUE(bucketsAdjacent(&d));
  size_t walked = 0;
  for (ValueDict::Node* n = d.first(); n; n = n->next) ++walked;
  EXPECT_EQ(walked, 66u);
  for (int64_t k = 0; k < 100; ++k) EXPECT_EQ(d.find(makeLongValue(k)) != nullptr, k % 3 != 0);
}

TEST_F(Compare, DictWithManyByteStringKeys) {
  ExprValue d = makeDictValue();
  const int n = 200000;
  for (int i = 0; i < n; ++i) {
    ExprValue key = makeBytesValue(QByteArray::number(i));
    auto r = dictEmplace(d.payload.dict, key);
    ASSERT_TRUE(r.second);
    r.first->value = pooled(makeIntValue(i));
  }
  EXPECT_EQ(d.payload.dict->size(), size_t(n));
  for (int i = 0; i < n; i += 997) {
    ExprValue key = makeBytesValue(QByteArray::number(i));
    ValueDict::Node* node = d.payload.dict->find(key);
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(node->value->payload.i32, i);
    freeValue(key);
  }
  freeValue(d);
}

// ---------------------------------------------------------------- convertForAssign

TEST_F(Compare, ConversionPairTable) {
  struct Pair {
    int declared, value, code;
  };
  const Pair table[] = {
      {0, 0, 0},    {0, 1, 4},    {0, 2, 9},    {0, 4, 19},   {0, 5, 24},   {1, 0, 1},
      {1, 1, 3},    {1, 2, 10},   {1, 4, 20},   {1, 5, 21},   {2, 0, 2},    {2, 1, 5},
      {2, 2, 8},    {3, 3, 16},   {4, 4, 17},   {5, 0, 7},    {5, 4, 22},   {5, 5, 25},
      {8, 8, 27},   {9, 4, 18},   {9, 9, 11},   {9, 10, 15},  {10, 4, 23},  {10, 5, 26},
      {10, 9, 12},  {10, 10, 14}, {11, 11, 29}, {12, 12, 30}, {13, 9, 13},  {13, 13, 31},
      {14, 14, 32}, {16, 16, 33}, {0, 9, -96},  {1, 9, -95},  {2, 9, -94},  {9, 0, -99},
      {9, 1, -98},  {9, 2, -97},  {15, 15, -100}, {3, 0, -100}, {2, 4, -100}, {4, 5, -100},
      {16, 17, -100}, {11, 12, -100}, {5, 1, -100}};
  for (const Pair& p : table) {
    ExprValue dummy;
    EXPECT_EQ(convertForAssign(p.declared, p.value, false, false, dummy), p.code)
        << p.declared << "<-" << p.value;
  }
}

TEST_F(Compare, ConversionsInPlace) {
  ExprValue w = makeWCharValue(0x4E2D);
  EXPECT_EQ(convertForAssign(10, 5, false, true, w), 26);
  ASSERT_EQ(w.type, VT_STRING);
  EXPECT_EQ(*w.payload.str, QString(QChar(0x4E2D)));
  freeValue(w);

  ExprValue d = makeDoubleValue(2.5);
  EXPECT_EQ(convertForAssign(0, 2, false, true, d), 9);
  EXPECT_EQ(d.type, VT_DOUBLE);
  EXPECT_EQ(d.payload.d, 2.5);

  ExprValue c = makeCharValue(char(0xE9));
  EXPECT_EQ(convertForAssign(5, 4, false, true, c), 22);
  EXPECT_EQ(c.type, VT_WCHAR);
  EXPECT_EQ(c.payload.u16, 0xFFE9);
  c = makeCharValue(char(0xE9));
  EXPECT_EQ(convertForAssign(1, 4, false, true, c), 20);
  EXPECT_EQ(c.payload.i64, -23);
  c = makeCharValue(char(0xE9));
  EXPECT_EQ(convertForAssign(0, 4, false, true, c), 19);
  EXPECT_EQ(c.type, VT_INT);
  EXPECT_EQ(uint64_t(c.payload.i64), 0xFFFFFFE9ULL);  // high half clear
  EXPECT_EQ(c.payload.i32, -23);

  ExprValue u = makeWCharValue(0xFFE9);
  EXPECT_EQ(convertForAssign(1, 5, false, true, u), 21);
  EXPECT_EQ(u.payload.i64, 0xFFE9);

  ExprValue i = makeIntValue(0x12345);
  EXPECT_EQ(convertForAssign(5, 0, false, true, i), 7);
  EXPECT_EQ(i.type, VT_WCHAR);
  EXPECT_EQ(i.payload.u16, 0x2345);

  ExprValue s = makeStringValue(QStringLiteral("中a"));
  EXPECT_EQ(convertForAssign(9, 10, false, true, s), 15);
  ASSERT_EQ(s.type, VT_BYTES);
  EXPECT_EQ(*s.payload.bytes, QByteArray("\xE4\xB8\xAD" "a"));
  EXPECT_EQ(convertForAssign(10, 9, false, true, s), 12);
  ASSERT_EQ(s.type, VT_STRING);
  EXPECT_EQ(*s.payload.str, QStringLiteral("中a"));
  freeValue(s);

  ExprValue ch = makeCharValue('q');
  EXPECT_EQ(convertForAssign(9, 4, false, true, ch), 18);
  EXPECT_EQ(text(ch), "q");
  freeValue(ch);
  ch = makeCharValue(char(0xE9));
  EXPECT_EQ(convertForAssign(10, 4, false, true, ch), 23);
  EXPECT_EQ(*ch.payload.str, QString(QChar(0xE9)));
  freeValue(ch);

  ExprValue keep = makeCharValue('q');
  EXPECT_EQ(convertForAssign(9, 4, false, false, keep), 18);  // no convert flag
  EXPECT_EQ(keep.type, VT_CHAR);
}

TEST_F(Compare, RefusalPrintsOnlyWithPrintFlag) {
  ExprValue v = makeIntValue(1);
  {
    CoutCapture out;
    EXPECT_EQ(convertForAssign(9, 0, true, true, v), -99);
    EXPECT_EQ(out.text(), "变量的类型和其赋值无法匹配！请检查。\n");
  }
  {
    CoutCapture out;
    EXPECT_EQ(convertForAssign(9, 0, false, true, v), -99);
    EXPECT_EQ(convertForAssign(0, 0, true, true, v), 0);
    EXPECT_EQ(out.text(), "");
  }
  EXPECT_EQ(v.type, VT_INT);
}

// ---------------------------------------------------------------- display texts

TEST_F(Compare, DisplayOfScalars) {
  EXPECT_EQ(text(makeIntValue(-42)), "-42");
  EXPECT_EQ(text(makeLongValue(int64_t(1) << 40)), "1099511627776");
  EXPECT_EQ(text(makeDoubleValue(0.5)), "0.5");
  EXPECT_EQ(text(makeDoubleValue(3.0)), "3");
  EXPECT_EQ(text(makeDoubleValue(1e20)), QStringLiteral("%1").arg(1e20, 0, 'g', -1).toStdString());
  EXPECT_EQ(text(makeDoubleValue(1.0 / 3)), QStringLiteral("%1").arg(1.0 / 3, 0, 'g', -1).toStdString());
  EXPECT_EQ(text(makeBoolValue(true)), "zhen");
  EXPECT_EQ(text(makeBoolValue(false)), "jia");
  EXPECT_EQ(text(makeCharValue(char(0xE9))), "\xC3\xA9");
  EXPECT_EQ(text(makeWCharValue(0x4E2D)), "中");
  ExprValue t = makeTimeValue(QDateTime(QDate(2025, 5, 15), QTime(13, 4, 9)));
  EXPECT_EQ(text(t), "2025-05-15 13:04:09");
  freeValue(t);
  ExprValue none;
  for (int type : {VT_TIME, VT_FILE, VT_EXCEL, VT_FUNC}) {
    none.type = type;
    EXPECT_EQ(text(none), "kong") << type;
  }
  none.type = VT_BYTES;
  EXPECT_EQ(text(none), "");
  none.type = VT_EMPTY;
  EXPECT_EQ(text(none), "");
}

TEST_F(Compare, DisplayOfContainers) {
  ExprValue l = listOf({makeIntValue(1), makeIntValue(2), listOf({makeIntValue(3)})});
  EXPECT_EQ(text(l), "[1,2,[3]]");
  ExprValue l2 = listOf({bytes("a"), makeStringValue("b"), makeCharValue('c')});
  EXPECT_EQ(text(l2), "[\"a\",\"b\",c]");
  ExprValue nullList;
  nullList.type = VT_LIST;
  EXPECT_EQ(text(nullList), "[]");

  ExprValue d = makeDictValue();
  dictPut(d, bytes("k"), makeIntValue(1));
  EXPECT_EQ(text(d), "{\"k\":1}");
  ExprValue d2 = makeDictValue();
  dictPut(d2, makeIntValue(7), bytes("v"));
  dictPut(d2, makeIntValue(8), makeStringValue("w"));  // a 16-bit string value is not quoted
  // two entries, joined by ", " in walk order
  std::string expect;
  for (ValueDict::Node* n = d2.payload.dict->first(); n; n = n->next)
    expect += (expect.empty() ? "" : ", ") +
              (n->key.payload.i32 == 7 ? std::string("7:\"v\"") : std::string("8:w"));
  EXPECT_EQ(text(d2), "{" + expect + "}");
  freeValue(l);
  freeValue(l2);
  freeValue(d);
  freeValue(d2);
}

TEST_F(Compare, DisplayOfStructsAndFunctions) {
  ExprValue s;
  s.type = VT_STRUCT;
  s.payload.st = new StructValue();
  s.payload.st->builtinCode = -1;
  EXPECT_EQ(text(s), "");
  s.payload.st->builtinCode = VT_PHUXMAIN;
  EXPECT_EQ(text(s), "{}");
  s.payload.st->builtinCode = VT_REGEXP;
  s.payload.st->typeName = "RegExp";
  EXPECT_EQ(text(s), "{RegExp}");
  s.payload.st->members = new MemberCells{pooled(makeIntValue(1)), pooled(bytes("s"))};
  EXPECT_EQ(text(s), "{1,\"s\"}");
  freeValue(s);

  ExprValue f = makeFunctionValue("run");
  EXPECT_EQ(text(f), "->run");
  const QByteArray owner("obj");
  f.owner = &owner;
  EXPECT_EQ(text(f), "obj->run");
  freeValue(f);

  ExprValue x;
  x.type = VT_EXCEL;
  x.payload.excel = new ExcelValue();
  addSharedRef(x.payload.excel);
  EXPECT_EQ(text(x), "kong");  // no path
  freeValue(x);
}
