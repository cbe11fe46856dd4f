// Stores reach the place their target names, in the order the statement
// says, and never make a container hold itself: multiple assignment into
// elements and members, struct types named like type words, the order of an
// indexed store's index and value, indexes of ++, -- and compound stores run
// once, compound stores on missing dict keys, and targets refused before the
// value runs.
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

// The cycle check skips its search when only the target's own variable can
// reach the receiving container; each of these reaches it some other way.
TEST(StoreTarget, CyclesThroughContainersHeldOnceAreRefused) {
  const char* const bodies[] = {
      "lb x = [[1]];\n  x[0][0] = x;",
      "zd d = {\"a\": {}};\n  d[\"a\"][\"b\"] = [d];",
      "lb x = [[1]];\n  x[0].append(x);",
      "lb x = [[1]];\n  add(x.at(0), x);",
      "zd d = {\"a\": [1]};\n  lb y = d[\"a\"];\n  y[0] = d;"};
  for (const char* body : bodies) {
    const RunResult r = run(std::string("hanshu add(lb p, lb o) { p.append(o); }\n"
                                        "hanshu hs_rukou() {\n  ") +
                            body + "\n  dyh(\"stored\");\n}\n");
    EXPECT_TRUE(has(r.err, "自身")) << body << "\n" << r.err;
    EXPECT_EQ(printedBeforeStack(r.out), "") << body;
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

TEST(StoreTarget, IndexesOfIncrementsAndCompoundStoresRunOnce) {
  // statements, expressions, a loop step, nested lists and dicts, struct
  // members in a list, an index that changes the variable it reads, and a
  // key made by a chain of methods
  const RunResult r = run(
      "quanju_dingyi { jiegou P { zs x; }; }\n"
      "hanshu at(zfc what, zs n) (zs) { dy(what); fanhui n; }\n"
      "hanshu key(zfc k) (zfc) { dy(\"k\"); fanhui k; }\n"
      "hanshu hs_rukou() {\n"
      "  lb l = [10, 20, 30];\n"
      "  lb m = [[1, 2], [3, 4]];\n"
      "  zd d = {\"a\": 1};\n"
      "  zd dl = {\"a\": [1.5, 2.5]};\n"
      "  P p;\n"
      "  lb ps = [p, p];\n"
      "  l[at(\"i\", 1)]++;\n"
      "  zs x = l[at(\"i\", 2)]--;\n"
      "  m[at(\"i\", 1)][at(\"j\", 0)]++;\n"
      "  d[key(\"a\")]--;\n"
      "  ps[at(\"i\", 1)].x++;\n"
      "  dl[key(\"a\")][at(\"i\", 0)]++;\n"
      "  xun (zs k = 0; k < 2; l[at(\"s\", 0)]++) { k++; }\n"
      "  l[at(\"c\", 0)] += 5;\n"
      "  zs i = 0;\n"
      "  lb w = [10, 20, 30];\n"
      "  w[i++]++;\n"
      "  RegExp r = \"\\\\w+\";\n"
      "  it := r.globalMatch(u16\"a b a\");\n"
      "  zd freq = {\"a\": 0, \"b\": 0};\n"
      "  while (it.hasNext()) { freq[it.next().captured().toZfc()]++; }\n"
      "  dyh(\"\", x, l, m, d, ps, dl, w, i, freq);\n"
      "}\n");
  expectFinished(r, "iiijkikissc 29 [17,21,29] [[1,2],[4,4]] {\"a\":0} [{0},{1}] "
                    "{\"a\":[2.5,2.5]} [10,21,30] 1 {\"a\":2, \"b\":1}");
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

TEST(StoreTarget, TargetsAreCheckedBeforeTheValueRuns) {
  // Each statement is refused: the function, the method's command, and
  // nothing after the statement runs. The last ones are method results that
  // do not fit their variables: the run stops there.
  QTemporaryDir marks;
  const std::string mark = marks.filePath(QStringLiteral("ran")).toStdString();
  const std::string command = "kor.exec_output(\"touch " + mark + "\")";
  const std::pair<std::string, const char*> cases[] = {
      {"n[0], b = work();", "变量 n 是 整数类型 ,非法或未知求值或访问语句 n[0]"},
      {"p.nosuch, b = work();", "结构体 P 没有成员变量 nosuch"},
      {"l[5], b = work();", "语句 l[5] 多层列表访问元素第 5 个"},
      {"d[\"a\"][0], b = work();", "关键字 \"a\" 对应值是 整数类型"},
      {"n[0], o = " + command + ";", "变量 n 是 整数类型 ,非法或未知求值或访问语句 n[0]"},
      {"o, n := " + command + ";", "变量 o 已经在当前作用域中存在"},
      {"p.nosuch = f();", "结构体 P 没有成员变量 nosuch"},
      {"n[0] = f();", "变量 n 是 整数类型 ,非法或未知求值或访问语句 n[0]"},
      {"s[0][0] = f();", "变量 s[0] 是字符类型，无法继续后续的[]操作"},
      {"s.x = f();", "变量 s 是 字符串类型 ,非法或未知求值或访问语句 s.x"},
      {"l.x = f();", "列表 l 不是结构体类型"},
      {"l[0].x = f();", "列表第 0 个序列元素不是结构体类型"},
      {"d[\"a\"].x = f();", "字典 d 不是结构体类型"},
      {"n, o = kor.exec_output(\"echo hi\");", "变量 n 是 整数类型，无法使用 字符串类型"},
      {"wj fl = wj.open(\"%DIR%/in.txt\", \"w\"); fl.write(\"x\\n\"); fl.close();\n"
       "  fl.open(\"r\"); o, n = fl.readLine();",
       "变量 o 是 字符串类型，无法使用 整数类型 2"},
  };
  for (const auto& c : cases) {
    const RunResult r = run(
        "quanju_dingyi { jiegou P { zs x; }; }\n"
        "hanshu work() (zs, zs) { dyh(\"ran\"); fanhui 1, 2; }\n"
        "hanshu f() (zs) { dyh(\"ran\"); fanhui 1; }\n"
        "hanshu hs_rukou() {\n"
        "  zs n = 0; zs b = 0; P p; lb l = [1]; zfc s = \"ab\"; zd d = {\"a\": 1}; zfc o;\n  " +
        c.first + "\n  dyh(\"after\");\n}\n");
    EXPECT_TRUE(has(r.err, c.second)) << c.first << "\n" << r.err;
    EXPECT_FALSE(has(r.out, "ran") || has(r.out, "after")) << c.first << "\n" << r.out;
    EXPECT_FALSE(QFile::exists(QString::fromStdString(mark))) << c.first;
  }
}

}  // namespace
