// Small helpers for reading what host programs and host files say.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace bootstrap::host {

// Whether `bytes` is well-formed UTF-8 (RFC 3629): no overlong forms, no
// surrogates, nothing above U+10FFFF, no stray or missing continuation bytes.
bool is_valid_utf8(std::string_view bytes);

// `text` without blanks, tabs, carriage returns, line feeds, vertical tabs
// and form feeds at either end.
std::string_view trim(std::string_view text);

// The whole content of the file at `path`, or nullopt when it does not exist.
// Throws HostError "cannot read <path>: <reason>" when it exists but cannot be
// read (no permission, a directory, an I/O error).
std::optional<std::string> read_file_if_present(const std::filesystem::path& path);

}  // namespace bootstrap::host
