// Header blocks of script files: the key=value lines between headinfo-begin
// and headinfo-end, and the status texts for scripts without one.
#include <gtest/gtest.h>

#include <QStatusBar>
#include <QTemporaryDir>
#include <QTextCodec>

#include <cstring>
#include <memory>

#include "plugin/KorvelWin.h"
#include "plugin_test_util.h"

namespace {

class HeadInfo : public ::testing::Test {
 protected:
  void SetUp() override { host.install(); }

  ScriptHeadInfo read(const QByteArray& content) {
    path = dir.filePath(QStringLiteral("s.kor"));
    writeFile(path, content);
    return win.readScriptHeadInfo(path);
  }
  QString status() { return win.statusBar()->currentMessage(); }

  FakeHost host;
  QTemporaryDir dir;
  QString path;
  KorvelWin win{nullptr};
};

TEST_F(HeadInfo, ReadsEveryKeyOfABlock) {
  ScriptHeadInfo info = read(
      "/* 说明\n"
      "headinfo-begin\n"
      "ScriptName=demo\n"
      "Desc=描述\n"
      "Author=me\n"
      "Version=1.2\n"
      "Comment=用法说明\n"
      "need=1\n"
      "inputFilePath=/tmp/in.txt\n"
      "outputFilePath=/tmp/out.txt\n"
      "stringPara1=abc\n"
      "stringPara2=x=y\n"
      "stringPara3=  lead\n"
      "comboxPara1=a,b,c\n"
      "headinfo-end\n"
      "*/\n"
      "hanshu hs_rukou() {}\n");
  EXPECT_EQ(info.ScriptName, QStringLiteral("demo"));
  EXPECT_EQ(info.Desc, QStringLiteral("描述"));
  EXPECT_EQ(info.Author, QStringLiteral("me"));
  EXPECT_EQ(info.Version, QStringLiteral("1.2"));
  EXPECT_EQ(info.Comment, QStringLiteral("用法说明"));
  EXPECT_EQ(info.need, 1);
  EXPECT_EQ(info.inputFilePath, QStringLiteral("/tmp/in.txt"));
  EXPECT_EQ(info.outputFilePath, QStringLiteral("/tmp/out.txt"));
  EXPECT_EQ(info.stringPara1, QStringLiteral("abc"));
  EXPECT_EQ(info.stringPara2, QStringLiteral("x=y"));   // everything after the key's "="
  EXPECT_EQ(info.stringPara3, QStringLiteral("  lead"));  // the value is not trimmed
  EXPECT_EQ(info.comboxPara1, (QStringList{"a", "b", "c"}));
}

TEST_F(HeadInfo, ScriptWithoutBlockGivesTheDefaultsAndSaysSo) {
  ScriptHeadInfo info = read("hanshu hs_rukou() {}\n");
  EXPECT_TRUE(info.ScriptName.isEmpty());
  EXPECT_EQ(info.need, -1);
  EXPECT_TRUE(info.comboxPara1.isEmpty());
  EXPECT_EQ(status(), QStringLiteral("读取脚本 %1 头部属性信息完成！该脚本没有头部信息").arg(path));
}

TEST_F(HeadInfo, MissingClosingLineGivesTheDefaults) {
  ScriptHeadInfo info = read("headinfo-begin\nScriptName=demo\nneed=1\n");
  EXPECT_TRUE(info.ScriptName.isEmpty());
  EXPECT_EQ(info.need, -1);
}

TEST_F(HeadInfo, MarkersCountOnlyAtTheStartOfTheRawLine) {
  ScriptHeadInfo info = read(" headinfo-begin\nScriptName=a\nheadinfo-end\n");
  EXPECT_TRUE(info.ScriptName.isEmpty());
  info = read("headinfo-begin\nScriptName=b\n  headinfo-end\nDesc=d\nheadinfo-end\n");
  EXPECT_EQ(info.ScriptName, QStringLiteral("b"));
  EXPECT_EQ(info.Desc, QStringLiteral("d"));
}

TEST_F(HeadInfo, BlockStartingAfterLine101IsNotSeen) {
  QByteArray filler;
  for (int i = 0; i < 101; ++i) filler += "// line\n";
  ScriptHeadInfo info = read(filler + "headinfo-begin\nScriptName=late\nheadinfo-end\n");
  EXPECT_TRUE(info.ScriptName.isEmpty());
  // a block that ends by line 101 is read
  QByteArray shorter;
  for (int i = 0; i < 98; ++i) shorter += "// line\n";
  info = read(shorter + "headinfo-begin\nScriptName=in time\nheadinfo-end\n");
  EXPECT_EQ(info.ScriptName, QStringLiteral("in time"));
}

TEST_F(HeadInfo, FirstOccurrenceOfAKeyWins) {
  ScriptHeadInfo info = read(
      "headinfo-begin\nScriptName=first\nScriptName=second\nneed=0\nneed=1\n"
      "comboxPara1=a,,b\ncomboxPara1=z\nheadinfo-end\n");
  EXPECT_EQ(info.ScriptName, QStringLiteral("first"));
  EXPECT_EQ(info.need, 0);
  EXPECT_EQ(info.comboxPara1, (QStringList{"a", "", "b"}));
}

TEST_F(HeadInfo, NeedOtherThanZeroOrOneIsIgnoredWithAStatusText) {
  ScriptHeadInfo info = read("headinfo-begin\nneed=2\nstringPara1=p\nheadinfo-end\n");
  EXPECT_EQ(info.need, -1);
  EXPECT_EQ(info.stringPara1, QStringLiteral("p"));
  EXPECT_EQ(status(), QStringLiteral("文件头 %1 错误的 para/need 值 2，将忽略参数").arg(path));
  // text that is no number counts as 0
  info = read("headinfo-begin\nneed=abc\nheadinfo-end\n");
  EXPECT_EQ(info.need, 0);
}

TEST_F(HeadInfo, BlankLinesAndCrLfLineEndsAreHandled) {
  ScriptHeadInfo info = read("headinfo-begin\r\n\r\nScriptName=crlf\r\nneed=1\r\nheadinfo-end\r\n");
  EXPECT_EQ(info.ScriptName, QStringLiteral("crlf"));
  EXPECT_EQ(info.need, 1);
}

// Only the first MiB of a long file is decoded for its header: cut inside a
// character (a surrogate pair in UTF-16, a four-byte GB18030 sequence), it is
// still decoded as the whole file would be.
TEST_F(HeadInfo, LongFileInAnotherEncodingCutInsideACharacter) {
  const QString header = QStringLiteral("headinfo-begin\nScriptName=长脚本\nheadinfo-end\n");
  const QString wide = QString::fromUcs4(U"\U00020000");  // four bytes in both encodings
  for (const char* codec : {"GB18030", "UTF-16LE", "UTF-16BE"}) {
    std::unique_ptr<QTextEncoder> encoder(
        QTextCodec::codecForName(codec)->makeEncoder(QTextCodec::IgnoreHeader));
    QByteArray bytes = std::strcmp(codec, "UTF-16LE") == 0   ? QByteArray("\xFF\xFE")
                       : std::strcmp(codec, "UTF-16BE") == 0 ? QByteArray("\xFE\xFF")
                                                             : QByteArray();
    bytes += encoder->fromUnicode(header + QStringLiteral("// x"));
    while (((1 << 20) - bytes.size()) % 4 != 2) bytes += encoder->fromUnicode(QStringLiteral("x"));
    bytes += encoder->fromUnicode(wide.repeated(((1 << 20) - bytes.size()) / 4 + 16));
    EXPECT_EQ(read(bytes).ScriptName, QStringLiteral("长脚本")) << codec;
  }
}

TEST_F(HeadInfo, UnreadableFileSaysSo) {
  ScriptHeadInfo info = win.readScriptHeadInfo(dir.filePath(QStringLiteral("missing.kor")));
  EXPECT_EQ(info.need, -1);
  // the open failure is followed by the no-header text
  EXPECT_TRUE(status().contains(QStringLiteral("该脚本没有头部信息")));
}

}  // namespace
