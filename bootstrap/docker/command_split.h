// The shell-like word splitter for command lines in service definitions.
#pragma once

#include <string>
#include <vector>

namespace bootstrap::docker {

// Splits a command line into argv the way a POSIX shell splits words:
// blanks separate words, '...' is literal, "..." groups (a backslash escapes
// a double quote or a backslash inside it), a backslash outside quotes escapes the next character.
// Throws std::invalid_argument for an unterminated quote or a trailing
// backslash.
std::vector<std::string> split_command(const std::string& command);

}  // namespace bootstrap::docker
