// Source decoding: any bytes decode (or are refused) without a fault, a
// decoded text is valid UTF-8 for the lexer's input stream, and written back
// in the encoding it was found in it gives the same bytes again.
#include <QByteArray>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "antlr4-runtime.h"
#include "runtime/source_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 1 << 20) return -1;
  QByteArray out;
  try {
    decodeSourceText(reinterpret_cast<const char*>(data), int32_t(size), out);
  } catch (const std::exception&) {
    return 0;  // refused with a message
  }
  try {
    antlr4::ANTLRInputStream input(out.toStdString());
  } catch (const std::exception&) {
    abort();  // a decoded text the lexer cannot read
  }
  SourceEncoding encoding;
  QByteArray again;
  tryDecodeSourceText(reinterpret_cast<const char*>(data), int32_t(size), out, &encoding);
  if (!encodeSourceText(out, encoding, again) ||
      again != QByteArray::fromRawData(reinterpret_cast<const char*>(data), int(size)))
    abort();  // a text that does not save back as it was read
  return 0;
}
