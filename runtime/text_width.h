// Display width of text in a fixed-pitch pane or a terminal: East Asian wide
// and full-width characters take two columns, combining marks and format
// characters none, everything else one.
#pragma once

#include <QString>

#include <cstdint>
#include <string>

// Columns taken by one code point.
int32_t displayWidth(char32_t codePoint);
// The line (UTF-8) that marks the column after the first `codePoints` code
// points of text with up to four carets, the last under that column: a
// blank under each character before it, an ideographic blank (U+3000) under
// a wide one, nothing under a combining mark; code points beyond the end of
// text count one column each.
std::string markerUnder(const QString& text, int32_t codePoints);
