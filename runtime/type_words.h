// Type words of names written in a script.
#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>

namespace antlr4 {
class ParserRuleContext;
}

// ValueType code of a type word or declared struct name (8), else -1.
int32_t typeCodeOfKeyword(const QByteArray& name);
// The same for the type word of a function's parameter or return value, where
// a declared struct's name wins over the two-letter prefixes (a struct
// blPoint is a struct there, not a bl).
int32_t typeCodeOfSignatureWord(const QByteArray& word);
// Type text of a name for messages (looks the name up as a variable, which
// raises when there is none).
QString describeTypeName(const QByteArray& name, antlr4::ParserRuleContext* context);
