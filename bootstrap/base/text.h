// Small helpers for text that several modules read and write.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace bootstrap::base {

// `text` without blanks, tabs, carriage returns, line feeds, vertical tabs
// and form feeds at either end.
std::string_view trim(std::string_view text);

// The lines of `text`, without their line feeds; a last line without one
// counts, and an empty text has none.
std::vector<std::string> split_lines(std::string_view text);

// The words one after another with `separator` between them; empty for none.
std::string join(const std::vector<std::string>& words, std::string_view separator);

// The rows as a table: left-aligned columns two blanks apart, one line per
// row (an empty row gives an empty line), no trailing blanks.
std::string table(const std::vector<std::vector<std::string>>& rows);

// `text` safe to print on a terminal: control characters (C0, DEL, and the
// C1 range U+0080..U+009F), bytes that are not UTF-8 and the backslash become
// escapes (`\n`, `\t`, `\x1b`, `\\`), so text from outside cannot move the
// cursor, recolour or rewrite the screen. Other UTF-8 stays as it is.
std::string printable(std::string_view text);

}  // namespace bootstrap::base
