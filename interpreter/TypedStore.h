// The three typed stores: every store of a value into something that already
// has a declared type goes through one of them. They apply the conversion
// pair table for real (convert, combine for the compound operators, move or
// share payloads, print precision warnings) and report refused pairs.
#pragma once

#include <string>

namespace antlr4 {
class ParserRuleContext;
}
struct ExprValue;
struct ScopeRecord;

// Assignment operator codes: 0 "=", 1 "*/", 2 "/=", 3 "+=", 4 "-=".
int assignOpCode(const std::string& op);

// value cell -> variable record. The source payload moves into the record.
// On refusal prints the mismatch text and returns the negative code; the
// caller raises.
int storeToRecord(ScopeRecord* dst, ExprValue* src, antlr4::ParserRuleContext* ctx, bool messages,
                  int op);

// value cell -> element / dict value / member / fresh cell. Raises on refusal.
int storeToCell(ExprValue* dst, ExprValue* src, antlr4::ParserRuleContext* ctx, bool messages,
                int op);

// variable record -> cell: strings, times and structs are copied; lists,
// dicts, files and workbooks are shared. Raises on refusal.
int loadFromRecord(ExprValue* dst, ScopeRecord* src, antlr4::ParserRuleContext* ctx, bool messages,
                   int op);

// Position of a member in a struct description, or -1. Raises when the struct
// type is not declared.
int structMemberIndex(const std::string& structTypeName, const std::string& memberName,
                      antlr4::ParserRuleContext* ctx);
