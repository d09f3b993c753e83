// Recording fakes of the host facilities, a host whose files live in a
// temporary folder, and small file helpers.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "bootstrap/host/host.h"
#include "fakes/fake_host.h"

namespace bootstrap::fakes {

// The recording runners and system facts shared with the other test suites.
using FakeProcessRunner = testing::FakeProcessRunner;
using FakeShellRunner = testing::RecordingShellRunner;
using FakeSystemInfo = testing::FakeSystemInfo;

// A fresh folder under the temporary directory, removed with its content.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "host_test.XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// The tests here start from a bare host: FakeHost::bare().
using testing::FakeHost;

inline void write_file(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// The file's bytes, or nullopt when it does not exist.
inline std::optional<std::string> file_bytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

}  // namespace bootstrap::fakes
