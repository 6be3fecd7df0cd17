// SPDX-License-Identifier: MIT
#pragma once
// Text made safe to print on a terminal or in a log, one report per line.

#include <string>
#include <string_view>

// The text with everything that could end a line, move the cursor, change the terminal or reorder
// what is shown written as an escape: the C0 controls as \n, \r, \t or \xNN; DEL as \x7f; a
// backslash as \\; each byte that is not part of valid UTF-8 as \xNN; and, as \uNNNN, the C1
// controls (U+0080 to U+009F), the line and paragraph separators (U+2028, U+2029) and the
// bidirectional marks, embeddings, overrides and isolates (U+061C, U+200E, U+200F, U+202A to
// U+202E, U+2066 to U+2069). Other valid UTF-8 stays as it is. `quote`, when given, is escaped
// too (\"), for text shown between such quotes.
std::string EscapeControls(std::string_view text, char quote = '\0');
