// Stores reach the place their target names, in the order the statement
// says, and never make a container hold itself: multiple assignment into
// elements and members, struct types named like type words, the order of an
// indexed store's index and value, and compound stores on missing dict keys.
#include <gtest/gtest.h>

#include <QFile>
#include <QStringList>
#include <QTemporaryDir>

#include <iostream>
#include <sstream>
#include <string>

#include "interpreter/RunDriver.h"

namespace {

struct RunResult {
  std::string out;
  std::string err;
};

// Runs the script; "%DIR%" in it stands for a fresh directory it may use.
RunResult run(std::string source) {
  QTemporaryDir dir;
  const std::string dirPath = dir.path().toStdString();
  for (size_t at; (at = source.find("%DIR%")) != std::string::npos;)
    source.replace(at, 5, dirPath);
  const QString path = dir.filePath(QStringLiteral("store.kor"));
  QFile file(path);
  EXPECT_TRUE(file.open(QIODevice::WriteOnly));
  file.write(source.c_str());
  file.close();
  std::ostringstream out, err;
  std::streambuf* oldOut = std::cout.rdbuf(out.rdbuf());
  std::streambuf* oldErr = std::cerr.rdbuf(err.rdbuf());
  korvelMain(nullptr, QStringList{QStringLiteral("korvel"), path}, ScriptFile);
  std::cout.rdbuf(oldOut);
  std::cerr.rdbuf(oldErr);
  return {out.str(), err.str()};
}

bool has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// What a failed run printed before the call stack.
std::string printedBeforeStack(const std::string& out) {
  return out.substr(0, out.find("\n>>>> 调用堆栈如下"));
}

// A run that ended normally, with no message, after printing `printed`.
void expectFinished(const RunResult& r, const std::string& printed) {
  EXPECT_EQ(r.out, printed + "\n\n\n程序执行完毕。\n");
  EXPECT_EQ(r.err, "");
}

TEST(StoreTarget, MultipleAssignmentIntoItsOwnContainerIsRefused) {
  const char* const heads[] = {
      "hanshu pair(lb x) (lb, zs) { fanhui x, 1; }\n",
      "hanshu pair(zd x) (zd, zs) { fanhui x, 1; }\n",
      "quanju_dingyi { jiegou P { lb v; }; }\nhanshu pair(lb x) (lb, zs) { fanhui x, 1; }\n"};
  const char* const bodies[] = {
      "lb c = [[1], 2];\n  c[0], _ = pair(c);",
      "zd c = {\"a\": {\"b\": 1}};\n  c[\"a\"], _ = pair(c);",
      "P p;\n  lb c = [p];\n  c[0].v, _ = pair(c);"};
  for (int i = 0; i < 3; ++i) {
    const RunResult r =
        run(std::string(heads[i]) + "hanshu hs_rukou() {\n  " + bodies[i] + "\n  dyh(\"stored\");\n}\n");
    EXPECT_TRUE(has(r.err, "不能把包含 c 自身的值存入其元素中"))
        << bodies[i] << "\n" << r.err;
    EXPECT_EQ(printedBeforeStack(r.out), "") << bodies[i];
  }
}

TEST(StoreTarget, MethodResultsGoToElementsAndMembers) {
  // direct forms with two results (readLine) in a loop, a handler (read),
  // a list element, a dict entry and struct members
  RunResult r = run(
      "quanju_dingyi { jiegou R { zfc s; zs n; }; }\n"
      "hanshu hs_rukou() {\n"
      "  wj f = \"%DIR%/in.txt\";\n"
      "  f.open(\"w\"); f.write(\"ab\\ncd\\n\"); f.close();\n"
      "  lb a = [0, \"\", \"\"];\n"
      "  zd d = {\"k\": \"\"};\n"
      "  R r;\n"
      "  lb rs = [r];\n"
      "  xun (zs i = 1; i < 3; i++) {\n"
      "    f.open(\"r\");\n"
      "    rs[0].n, rs[0].s = f.read(2);\n"
      "    a[0], a[i] = f.readLine();\n"
      "    _, d[\"k\"] = f.readLine();\n"
      "    f.close();\n"
      "  }\n"
      "  f.open(\"r\");\n"
      "  r.n, r.s = f.readLine();\n"
      "  dyh(a, d, rs, r);\n"
      "}\n");
  expectFinished(r, "[1,\"\n\",\"\n\"] {\"k\":\"cd\n\"} [{\"ab\",2}] {\"ab\n\",3}");

  // `:=` creates variables: an element or member target is refused before the call
  for (const char* call : {"f.readLine()", "two()"}) {
    r = run(std::string("hanshu two() (zs, zs) { dyh(\"ran\"); fanhui 1, 2; }\n"
                        "hanshu hs_rukou() {\n  wj f = \"%DIR%/none.txt\";\n  lb l = [0, 1];\n"
                        "  l[1], x := ") +
            call + ";\n  dyh(l);\n}\n");
    EXPECT_TRUE(has(r.err, "行号 5 语句 l[1],x:=") &&
                has(r.err, "接收变量 l[1] 是元素或结构体成员，不能使用 := 符号自动创建"))
        << call << "\n" << r.err;
    EXPECT_EQ(printedBeforeStack(r.out), "") << call;
  }
}

TEST(StoreTarget, StructNamedLikeATypeWordIsAParameterAndReturnType) {
  const RunResult r = run(
      "quanju_dingyi {\n"
      "  jiegou blPoint { zs x; zs y; };\n"
      "  jiegou exData { zfc s; };\n"
      "  jiegou hdr { zs n; };\n"
      "  jiegou sjRecord { zs t; };\n"
      "}\n"
      "hanshu sum(blPoint p) (zs) { fanhui p.x + p.y; }\n"
      "hanshu make(zs a) (blPoint) { blPoint q = {a, a + 1}; fanhui q; }\n"
      "hanshu same(exData e, hdr h, sjRecord s) (exData, hdr, sjRecord) { fanhui e, h, s; }\n"
      "hanshu hs_rukou() {\n"
      "  blPoint p = {1, 2};\n"
      "  exData e = {\"t\"};\n"
      "  hdr h = {3};\n"
      "  sjRecord s = {4};\n"
      "  e2, h2, s2 := same(e, h, s);\n"
      "  dyh(sum(p), make(5), e2, h2, s2);\n"
      "}\n");
  expectFinished(r, "3 {5,6} {\"t\"} {3} {4}");
}

TEST(StoreTarget, IndexesAreEvaluatedAndCheckedBeforeTheValue) {
  // the fast paths (one index of a list or dict) and the general ones
  const RunResult r = run(
      "quanju_dingyi { zfc gk = \"a\"; }\n"
      "hanshu at(zfc what, zs n) (zs) { dy(what); fanhui n; }\n"
      "hanshu key() (zfc) { dy(\"k\"); fanhui \"k\"; }\n"
      "hanshu change() (zs) { gk = \"b\"; fanhui 5; }\n"
      "hanshu hs_rukou() {\n"
      "  lb l = [1, 2];\n"
      "  zd d = {\"a\": 1};\n"
      "  lb m = [[1, 2], [3]];\n"
      "  zd dd = {\"a\": {\"b\": 1}};\n"
      "  zfc s = \"xyz\";\n"
      "  l[at(\"i\", 1)] = at(\"v\", 7);\n"
      "  l[at(\"i\", 0)] += at(\"v\", 1);\n"
      "  d[key()] = at(\"v\", 7);\n"
      "  d[at(\"i\", 0)] = at(\"v\", 7);\n"
      "  m[at(\"i\", 0)][at(\"j\", 1)] = at(\"v\", 9);\n"
      "  dd[\"a\"][key()] = at(\"v\", 3);\n"
      "  s[at(\"i\", 0)] = 'q';\n"
      "  d[gk] = change();\n"
      "  dyh(\"\", l, d, m, dd, s);\n"
      "  l[at(\"i\", 9)] = at(\"v\", 1);\n"
      "}\n");
  EXPECT_EQ(printedBeforeStack(r.out), "ivivkvivijvkvi [2,7] {\"a\":5, \"k\":7, 0:7} [[1,9],[3]] "
                   "{\"a\":{\"b\":1, \"k\":3}} qyz\ni");
  EXPECT_TRUE(has(r.err, "语句 l[at(\"i\",9)]=at(\"v\",1) 多层列表访问元素第 9 个序号类型错误"))
      << r.err;
}

TEST(StoreTarget, CompoundStoreOnAMissingKeyCountsFromZero) {
  // keys of one dict (literal, zfc and zs variables) and a key two levels down
  const RunResult r = run(
      "hanshu hs_rukou() {\n"
      "  zd d = {};\n"
      "  zfc k = \"k\";\n"
      "  d[\"t\"] -= 2;\n"
      "  d[\"m\"] */ 5;\n"
      "  d[\"q\"] /= 2;\n"
      "  d[\"s\"] += \"ab\";\n"
      "  d[k] -= 1.5;\n"
      "  xun (zs i = 0; i < 2; i++) { d[i] -= 4; }\n"
      "  zd dd = {\"a\": {}};\n"
      "  dd[\"a\"][\"n\"] -= 3;\n"
      "  dd[\"a\"][\"u\"] += u16\"cd\";\n"
      "  dyh(d[\"t\"], d[\"m\"], d[\"q\"], d[\"s\"], d[k], d[0], d[1], dd);\n"
      "}\n");
  expectFinished(r, "-2 0 0 ab -1.5 -4 -4 {\"a\":{\"n\":-3, \"u\":cd}}");
}

}  // namespace
