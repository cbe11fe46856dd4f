// Files that a script opens are closed when the run ends, whether it ends
// normally or with an error: what the script wrote is on disk afterwards
// (QFile keeps small writes in its buffer until it is closed), and no file
// descriptor stays open.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>

#include <iostream>
#include <sstream>

#include "interpreter/RunDriver.h"
#include "xlsx.h"

namespace {

const std::string kFinished = "程序执行完毕。";

struct RunResult {
  int code = 0;
  std::string out;
  std::string err;
};

class FileRelease : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.isValid());
    oldCurrent_ = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(dir_.path()));
  }
  void TearDown() override { QDir::setCurrent(oldCurrent_); }

  RunResult run(const char* source) {
    const QString path = dir_.filePath(QStringLiteral("run.kor"));
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(source);
    file.close();
    std::ostringstream out, err;
    std::streambuf* oldOut = std::cout.rdbuf(out.rdbuf());
    std::streambuf* oldErr = std::cerr.rdbuf(err.rdbuf());
    RunResult r;
    r.code = korvelMain(nullptr, QStringList{QStringLiteral("korvel"), path}, ScriptFile);
    std::cout.rdbuf(oldOut);
    std::cerr.rdbuf(oldErr);
    r.out = out.str();
    r.err = err.str();
    return r;
  }

  QByteArray content(const char* name) {
    QFile f(dir_.filePath(QString::fromUtf8(name)));
    if (!f.open(QIODevice::ReadOnly)) return QByteArray("<missing>");
    return f.readAll();
  }

  static int openDescriptors() { return int(QDir(QStringLiteral("/proc/self/fd")).count()); }

  QTemporaryDir dir_;
  QString oldCurrent_;
};

TEST_F(FileRelease, GlobalFileLeftOpenIsClosedAfterASuccessfulRun) {
  const int before = openDescriptors();
  RunResult r = run(
      "quanju_dingyi { wj g; }\n"
      "hanshu hs_rukou() {\n"
      "  g = wj.open(\"global.txt\", \"w\");\n"
      "  g.write(\"kept by a global\");\n"
      "  wj local = wj.open(\"local.txt\", \"w\");\n"
      "  local.write(\"kept by a local\");\n"
      "}\n");
  EXPECT_NE(r.out.find(kFinished), std::string::npos) << r.err;
  EXPECT_EQ(content("global.txt"), QByteArray("kept by a global"));
  EXPECT_EQ(content("local.txt"), QByteArray("kept by a local"));
  EXPECT_EQ(openDescriptors(), before);
}

TEST_F(FileRelease, FileIsClosedWhenTheRunFails) {
  const int before = openDescriptors();
  RunResult r = run(
      "hanshu hs_rukou() {\n"
      "  wj f = wj.open(\"failed.txt\", \"w\");\n"
      "  f.write(\"written before the error\");\n"
      "  f.noSuchMethod();\n"
      "}\n");
  EXPECT_NE(r.err.find("noSuchMethod"), std::string::npos) << r.err;
  EXPECT_EQ(r.out.find(kFinished), std::string::npos) << r.out;
  EXPECT_EQ(content("failed.txt"), QByteArray("written before the error"));
  EXPECT_EQ(openDescriptors(), before);
}

TEST_F(FileRelease, SharedHoldersDeepInCallsAreClosedWhenTheRunFails) {
  const int before = openDescriptors();
  // the file is held by a variable, a list element and a dict value of the
  // caller and by a parameter of the failing callee
  RunResult r = run(
      "hanshu fail(wj f, zs depth) {\n"
      "  f.write(\"x\");\n"
      "  sf (depth == 0) { wj.open(\"shared.txt\", \"en\"); }\n"
      "  fail(f, depth - 1);\n"
      "}\n"
      "hanshu hs_rukou() {\n"
      "  wj f = wj.open(\"shared.txt\", \"w\");\n"
      "  lb l = [f];\n"
      "  zd d = {\"k\": f};\n"
      "  wj other = wj.open(\"other.txt\", \"w\");\n"
      "  other.write(\"second file\");\n"
      "  fail(f, 3);\n"
      "}\n");
  EXPECT_NE(r.err.find("已经存在"), std::string::npos) << r.err;
  EXPECT_EQ(content("shared.txt"), QByteArray("xxxx"));
  EXPECT_EQ(content("other.txt"), QByteArray("second file"));
  EXPECT_EQ(openDescriptors(), before);
}

TEST_F(FileRelease, ResultOfAFailingStatementIsClosed) {
  const int before = openDescriptors();
  // the opened file is only a call result when the statement fails
  RunResult r = run(
      "hanshu hs_rukou() {\n"
      "  zs n = wj.open(\"result.txt\", \"w\");\n"
      "}\n");
  EXPECT_EQ(r.out.find(kFinished), std::string::npos) << r.out;
  EXPECT_FALSE(r.err.empty());
  EXPECT_EQ(content("result.txt"), QByteArray(""));
  EXPECT_EQ(openDescriptors(), before);
}

TEST_F(FileRelease, NextRunStartsAfresh) {
  // a file opened and left open by one run does not disturb the next one
  RunResult first = run(
      "hanshu hs_rukou() { wj f = wj.open(\"again.txt\", \"w\"); f.write(\"1\"); }\n");
  EXPECT_NE(first.out.find(kFinished), std::string::npos) << first.err;
  RunResult second = run(
      "hanshu hs_rukou() {\n"
      "  wj f = wj.open(\"again.txt\", \"a\");\n"
      "  f.write(\"2\");\n"
      "  f.close();\n"
      "  f = wj.open(\"again.txt\", \"r\");\n"
      "  dyh(f.readAll());\n"
      "}\n");
  EXPECT_NE(second.out.find(kFinished), std::string::npos) << second.err;
  EXPECT_NE(second.out.find("12"), std::string::npos) << second.out;
}

}  // namespace

// Workbooks follow the same rule: left open, they are saved when a run ends
// normally; after a failed run they are closed unsaved, whoever holds them.
TEST_F(FileRelease, OpenWorkbooksAreSavedOnlyAfterASuccessfulRun) {
  auto cellA1 = [&](const char* name) -> std::string {
    xlsx::Document doc;
    doc.open(dir_.filePath(QString::fromUtf8(name)).toStdString());
    xlsx::CellValue v = doc.workbook().worksheet("Sheet1").cell("A1").value();
    return v.type() == xlsx::ValueType::String ? v.get<std::string>() : "<not text>";
  };
  RunResult ok = run(
      "quanju_dingyi { excel g; lb sheets; }\n"
      "hanshu hs_rukou() {\n"
      "  g.el_create(\"global\");\n"
      "  g.worksheet(\"Sheet1\").setCell(\"A1\", \"by a global\");\n"
      "  excel local;\n"
      "  local.el_create(\"local\");\n"
      "  sheets.append(local.worksheet(\"Sheet1\"));\n"
      "  local = kong;  // the worksheet in the list still holds the workbook\n"
      "  XLWorksheet ws = sheets.at(0);\n"
      "  ws.setCell(\"A1\", \"through a worksheet\");\n"
      "}\n");
  EXPECT_NE(ok.out.find(kFinished), std::string::npos) << ok.err;
  EXPECT_EQ(cellA1("global.xlsx"), "by a global");
  EXPECT_EQ(cellA1("local.xlsx"), "through a worksheet");

  RunResult failed = run(
      "hanshu hs_rukou() {\n"
      "  excel a;\n"
      "  a.el_create(\"failed\");\n"
      "  XLWorksheet ws = a.worksheet(\"Sheet1\");\n"
      "  ws.setCell(\"A1\", \"saved\");\n"
      "  a.save();\n"
      "  ws.setCell(\"A1\", \"not saved\");\n"
      "  excel b = a;\n"
      "  ws.cell(\"bad\");\n"
      "}\n");
  EXPECT_EQ(failed.out.find(kFinished), std::string::npos) << failed.out;
  EXPECT_EQ(cellA1("failed.xlsx"), "saved");
}
