// Comparing, hashing (dict keys), converting for typed assignment and
// displaying values.
#pragma once

#include "value.h"

#include <QString>
#include <cstdint>
#include <cstring>

// Three-way comparison: -1, 0, 1; 2 for two unequal booleans; -100 when the
// two types cannot be compared (with warn, some refusals print a line to
// std::cout first). Never raises.
int32_t compareValues(const ExprValue& a, const ExprValue& b, bool warn);

// 64-bit FNV-1a over raw bytes (the name tables and dict keys use it).
constexpr uint64_t kFnvOffsetBasis = 0xcbf29ce484222325ULL;
constexpr uint64_t kFnvPrime = 0x100000001b3ULL;
inline uint64_t fnv1a(const void* data, size_t len, uint64_t h = kFnvOffsetBasis) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  const unsigned char* end = p + len;
  for (; end - p >= 4; p += 4) {
    h = (h ^ p[0]) * kFnvPrime;
    h = (h ^ p[1]) * kFnvPrime;
    h = (h ^ p[2]) * kFnvPrime;
    h = (h ^ p[3]) * kFnvPrime;
  }
  for (; p != end; ++p) h = (h ^ *p) * kFnvPrime;
  return h;
}
inline uint64_t fnv1a(const QByteArray& s) { return fnv1a(s.constData(), size_t(s.size())); }

// Hash of an integer key: FNV-1a over its eight bytes, low byte first.
inline uint64_t hashIntegerKey(int64_t value) {
  const uint64_t v = uint64_t(value);
  uint64_t h = kFnvOffsetBasis;
  h = (h ^ (v & 0xff)) * kFnvPrime;
  h = (h ^ ((v >> 8) & 0xff)) * kFnvPrime;
  h = (h ^ ((v >> 16) & 0xff)) * kFnvPrime;
  h = (h ^ ((v >> 24) & 0xff)) * kFnvPrime;
  // four zero bytes (a zs that is not negative) multiply by the prime four times
  if ((v >> 32) == 0) return h * (kFnvPrime * kFnvPrime * kFnvPrime * kFnvPrime);
  h = (h ^ ((v >> 32) & 0xff)) * kFnvPrime;
  h = (h ^ ((v >> 40) & 0xff)) * kFnvPrime;
  h = (h ^ ((v >> 48) & 0xff)) * kFnvPrime;
  return (h ^ (v >> 56)) * kFnvPrime;
}
uint64_t hashOtherKey(const ExprValue& key);
// Hash of a dict key; raises the key error for a cell that cannot be a key
// (also a 9/10 key with a null payload). 0 and 1 of equal value hash alike.
inline uint64_t hashValueKey(const ExprValue& key) {
  if (key.type == VT_INT || key.type == VT_LONG) return hashIntegerKey(key.asInt64());
  if (key.type == VT_BYTES && key.payload.bytes != nullptr) return fnv1a(*key.payload.bytes);
  return hashOtherKey(key);
}
bool keysEqualOther(const ExprValue& a, const ExprValue& b);
// Key equality; a 32-bit and a 64-bit integer of equal value are equal.
inline bool valueKeyEqual(const ExprValue& a, const ExprValue& b) {
  if (a.type == VT_INT && b.type == VT_INT) return a.payload.i32 == b.payload.i32;
  if (a.type == VT_BYTES && b.type == VT_BYTES && a.payload.bytes != nullptr &&
      b.payload.bytes != nullptr) {
    const QByteArray& x = *a.payload.bytes;
    const QByteArray& y = *b.payload.bytes;
    // copies of one value share their bytes
    return x.size() == y.size() &&
           (x.constData() == y.constData() ||
            std::memcmp(x.constData(), y.constData(), size_t(x.size())) == 0);
  }
  return keysEqualOther(a, b);
}

// Conversion codes of (declared type, value type); >= 0 allows the store.
// With convert set, the listed conversions are applied to the cell in place;
// with print set, a refusal prints "变量的类型和其赋值无法匹配！请检查。".
int32_t convertForAssign(int32_t declaredType, int32_t valueType, bool print, bool convert,
                         ExprValue& cell);

// Display text of a value (printing, formatting, messages).
QString valueToText(const ExprValue& cell);
// Appends the display text to out (used by the recursive containers).
void appendValueText(QString& out, const ExprValue& cell);

QString appendUtf8(const QString& text, const char* utf8Suffix);
QString appendUtf8(const QString& text, const QByteArray& utf8Suffix);
QString prependUtf8(const char* utf8Prefix, const QString& text);
QString prependUtf8(const QByteArray& utf8Prefix, const QString& text);
