// File names as bytes: every byte sequence survives the trip through QString
// and back, valid UTF-8 decodes as usual, and the locale codec that Qt's file
// layer then uses maps alike, also when its input comes piece by piece.
#include <gtest/gtest.h>

#include <QTextCodec>

#include <memory>

#include "file_names.h"

namespace {

struct NameCase {
  QByteArray bytes;
  bool validUtf8;  // and so decoded as Qt decodes UTF-8
  bool endsComplete;  // no unfinished sequence at the end
};

TEST(FileNames, EveryByteSequenceComesBackUnchanged) {
  const NameCase cases[] = {
      {"plain.txt", true, true},
      {"中文 名字.txt", true, true},
      {"\xF0\x9F\x98\x80 four bytes", true, true},
      {QByteArray("nul\0byte", 8), true, true},
      {"\xC4\xE3\xBA\xC3.txt", false, true},  // GBK
      {"\xC0\xAF overlong", false, true},
      {"\xED\xA0\x80 encoded surrogate", false, true},
      {"\xF4\x90\x80\x80 beyond U+10FFFF", false, true},
      {"a\xFF\xFE", false, true},
      {"cut \xE4\xB8", false, false},
      {"\xE4\xB8\xE4\xB8\xAD", false, true},
      // a byte-order mark is part of a name (Qt's UTF-8 decoding drops it)
      {"\xEF\xBB\xBF" "data.txt", false, true},
  };
  keepUndecodableFileNames();
  QTextCodec* locale = QTextCodec::codecForLocale();
  const bool localeMaps = locale->name() == "x-korvel-utf-8-file-names";
  for (const NameCase& c : cases) {
    SCOPED_TRACE(c.bytes.toHex().toStdString());
    const QString text = pathFromBytes(c.bytes);
    EXPECT_EQ(pathToBytes(text), c.bytes);
    if (c.validUtf8) EXPECT_EQ(text, QString::fromUtf8(c.bytes.constData(), c.bytes.size()));
    if (!localeMaps) continue;
    EXPECT_EQ(locale->toUnicode(c.bytes), text);
    EXPECT_EQ(locale->fromUnicode(text), c.bytes);
    if (!c.endsComplete) continue;
    std::unique_ptr<QTextDecoder> decoder(locale->makeDecoder(QTextCodec::IgnoreHeader));
    QString pieces;
    for (char b : c.bytes) pieces += decoder->toUnicode(&b, 1);
    EXPECT_EQ(pieces, text);
  }
}

}  // namespace
