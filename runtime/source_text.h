// Source decoding, literal texts, reserved words and the
// source texts and lines of parse contexts for messages.
#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>

#include "source_codec.h"

namespace antlr4 {
class ParserRuleContext;
}

// Decodes script bytes into UTF-8 text in out (tryDecodeSourceText):
// 0 valid UTF-8 (stored as is), 1 decoded as GB18030, 2 byte-order-marked
// (UTF-16LE/BE, UTF-8). Raises on undecodable input.
int32_t decodeSourceText(const char* bytes, int32_t length, QByteArray& out);

// Value of a quoted string literal token (quotes included), escapes resolved.
QByteArray unescapeString(const QByteArray& token);
// Value of a raw string literal token: R"(...)" or a one-letter prefix form.
QByteArray rawStringBody(const QByteArray& token);

// One of the 27 reserved names.
bool isReservedWord(const QByteArray& name);

// Text of the tokens a context spans, hidden blanks and comments included,
// from the run's tokenStream (the context's own text without one).
QString contextSourceText(antlr4::ParserRuleContext* context);
// Source text from the context's first token to the last token on its line.
QString statementTextAt(antlr4::ParserRuleContext* context);
// Line of the context's start token, -1 without one.
int32_t lineOfContext(antlr4::ParserRuleContext* context);
// The same, but 0 while the scope stack does not exist yet for a context that
// is not the script's own (the prelude's).
int32_t scopedLineOfContext(antlr4::ParserRuleContext* context);
// Line inside the script for a context of the global block's own parse.
int32_t lineInGlobalBlock(antlr4::ParserRuleContext* context);

// A copy of a path in the platform's separator form: on Windows every "/"
// becomes "\"; where "/" is the separator the path stays as it is.
QString toWindowsSeparators(const QString& path);
