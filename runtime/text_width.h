// Display width of text in a fixed-pitch pane or a terminal: East Asian wide
// and full-width characters take two columns, combining marks and format
// characters none, everything else one.
#pragma once

#include <QString>

#include <cstdint>

// Columns taken by one code point.
int32_t displayWidth(char32_t codePoint);
// Columns taken by the first `codePoints` code points of text; code points
// beyond the end of text count one column each.
int32_t displayColumns(const QString& text, int32_t codePoints);
