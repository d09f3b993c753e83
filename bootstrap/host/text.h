// Reading host files.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace bootstrap::host {

// The whole content of the file at `path`, or nullopt when it does not exist.
// Throws HostError "cannot read <path>: <reason>" when it exists but cannot be
// read (no permission, a directory, an I/O error).
std::optional<std::string> read_file_if_present(const std::filesystem::path& path);

}  // namespace bootstrap::host
