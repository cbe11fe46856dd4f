// The main parse of a script: the nesting check, the two parse stages
// (KorTwoStageParse.h) and the Chinese error reporting of the listener.
//
// The lexer's errors are recorded while tokens are read (tokens are read
// inside the parser's predictions, which must not be left by an exception)
// and reported, like a syntax error, when the parser consumes the first token
// after the error or when the parse ends. Nesting beyond the limit and a
// parse that runs out of machine stack are reported by the listener too.
// Afterwards the lexer reports to the listener directly (later reads of the
// token stream, such as a run-time report quoting a statement).
#pragma once

#include "KorErrListener.h"
#include "KorNesting.h"
#include "KorParser.h"
#include "KorSyntaxErrors.h"

// Parses rule program over `tokens` (read from `lexer`) with `parser`,
// reporting every error through `listener` (set up for the main parse:
// tokens and source). Returns the tree; a report ends the parse with the
// listener's exception.
KorParser::ProgramContext* parseScriptProgram(KorParser& parser, ChineseKorLexer& lexer,
                                              KorDepthCheckedTokenStream& tokens,
                                              KorErrListener& listener);
