// The three typed stores: every store of a value into something that already
// has a declared type goes through one of them. They apply the conversion
// pair table for real (convert, combine for the compound operators, move or
// share payloads, print precision warnings) and report refused pairs.
//
// Ownership: on success the source payload has moved into the destination
// (or been consumed) and the source cell's payload is null afterwards, so a
// caller may always freeValue its source. On refusal (negative code or a
// raised error) the source is left as it was: the caller releases it.
//
// Integer "/=" on zs and czs destinations raises a script error for a zero
// divisor and for the most negative value divided by -1.
#pragma once

#include <QByteArray>
#include <QString>

#include <string>

namespace antlr4 {
class ParserRuleContext;
}
struct ExprValue;
struct ScopeRecord;
struct StructValue;

// Assignment operator codes: 0 "=", 1 "*/", 2 "/=", 3 "+=", 4 "-=".
int assignOpCode(const std::string& op);

// value cell -> variable record. The source payload moves into the record.
// On refusal prints the mismatch text (messages on) and returns the negative
// code; the caller raises.
int storeToRecord(ScopeRecord* dst, ExprValue* src, antlr4::ParserRuleContext* ctx, bool messages,
                  int op);

// value cell -> element / dict value / member / fresh cell. Raises on refusal.
// A destination of type -1 simply takes the value.
int storeToCell(ExprValue* dst, ExprValue* src, antlr4::ParserRuleContext* ctx, bool messages,
                int op);

// variable record -> cell: strings, times and structs are copied; lists,
// dicts, files and workbooks are shared. Raises on refusal. A destination of
// type -1 takes the variable's type first (a plain read).
int loadFromRecord(ExprValue* dst, ScopeRecord* src, antlr4::ParserRuleContext* ctx, bool messages,
                   int op);

// Position of a member in a struct description, or -1. Raises when the struct
// type is not declared.
int structMemberIndexOf(const QByteArray& structTypeName, const QByteArray& memberName,
                        antlr4::ParserRuleContext* ctx);
// The same for a struct value: one that carries its description's layout is
// looked up there, without the global lookup.
int structMemberIndexIn(const StructValue* st, const QByteArray& memberName,
                        antlr4::ParserRuleContext* ctx);

// Raises the error for a list, dict or struct value about to be stored into
// an element or member inside a container that the value is or holds (the
// container would hold itself: it could never be released, and printing or
// copying it would not end). `name` is the container variable's name.
[[noreturn]] void failSelfContainingStore(int line, const QString& text, const QString& name);
