// Puts the syntax-error reporting in place on the recognizers of a parse.
#pragma once

#include <QByteArray>

#include <memory>

#include "antlr4-runtime.h"

class KorLexer;
class KorParser;

// The script's main parse: the default listeners of lexer and parser are
// replaced by one listener that knows the token stream and the source.
std::unique_ptr<antlr4::ANTLRErrorListener> installScriptSyntaxReporting(
    KorLexer* lexer, KorParser* parser, antlr4::CommonTokenStream* tokens, QByteArray* source);

// The prelude and entry-call parses: only the parser's listeners are
// replaced; the lexer keeps the runtime's console listener.
std::unique_ptr<antlr4::ANTLRErrorListener> installAuxSyntaxReporting(
    KorParser* parser, antlr4::CommonTokenStream* tokens);
