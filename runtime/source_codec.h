// The codec table and the encodings of script files: reading a file's bytes
// as the runner does, and writing a text back in the encoding it was read in.
// Needs nothing but Qt Core, so that a host editor can use it too.
#pragma once

#include <QByteArray>

#include <cstdint>

// Codec ids (also the values of the script's encoding constants).
enum SourceCodec : int32_t {
  CODEC_UNKNOWN2 = -2,
  CODEC_UNKNOWN = -1,
  CODEC_UTF8 = 1,
  CODEC_UTF16LE = 2,
  CODEC_UTF16BE = 3,
  CODEC_GB18030 = 4,
  CODEC_EUCJP = 5,
  CODEC_SHIFTJIS = 6,
  CODEC_EUCKR = 7,
  CODEC_KOI8R = 8,
  CODEC_TSCII = 9,
  CODEC_TIS620 = 10,
  CODEC_BIG5HKSCS = 11,
  CODEC_IBM866 = 14
};

// Name handed to QTextCodec::codecForName for a codec id.
QByteArray codecName(int32_t id);

// How a script file's bytes are written: UTF-8, UTF-16LE or UTF-16BE
// (always with a byte-order mark) or GB18030.
struct SourceEncoding {
  int32_t codec = CODEC_UTF8;
  bool byteOrderMark = false;
};

// Decodes script bytes into UTF-8 text in out: 0 valid UTF-8 (stored as is),
// 1 decoded as GB18030, 2 byte-order-marked (UTF-16LE/BE, UTF-8); or one of
// the two values below when the bytes cannot be decoded (out is then left as
// it was). When encoding is given it receives the encoding found.
constexpr int32_t kMarkedSourceInvalid = -1;    // byte-order mark, invalid characters after it
constexpr int32_t kUnmarkedSourceInvalid = -2;  // neither UTF-8 nor GB18030
int32_t tryDecodeSourceText(const char* bytes, int32_t length, QByteArray& out,
                            SourceEncoding* encoding = nullptr);

// Writes the UTF-8 text in the encoding, byte-order mark included, into out.
// False (out unchanged) when the bytes would not read back through
// tryDecodeSourceText as the same text: the text is not valid UTF-8, or in
// that encoding it reads as another one (GB18030 bytes that are valid UTF-8,
// a leading U+FEFF without a mark). An empty text in UTF-16 is written as an
// empty file: a mark alone is not read as one.
bool encodeSourceText(const QByteArray& utf8, const SourceEncoding& encoding, QByteArray& out);
