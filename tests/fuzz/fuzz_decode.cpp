// Source decoding: any bytes decode (or are refused) without a fault, and a
// decoded text is valid UTF-8 for the lexer's input stream.
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
  return 0;
}
