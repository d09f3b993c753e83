// Files: reading and changing the host's files.
//
// Abstract so that a dry run can describe the changes instead of making them
// (DescribingFiles) and so that tests can point host preparation at files in
// a temporary folder. The real implementation is real_files().
#pragma once

#include <atomic>
#include <filesystem>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

namespace bootstrap::host {

class Files {
 public:
  virtual ~Files() = default;
  // The whole content of the file at `path`, or nullopt when it does not
  // exist. Throws HostError "cannot read <path>: <reason>" when it exists but
  // cannot be read (no permission, a directory, an I/O error).
  virtual std::optional<std::string> read_if_present(const std::filesystem::path& path) = 0;
  // Appends `text` to the file at `path`. With `create_mode` the file is
  // created when missing and given that mode whatever the umask; without it
  // a missing file is an error. Throws HostError "cannot write <path>:
  // <reason>".
  virtual void append(const std::filesystem::path& path, std::string_view text,
                      std::optional<unsigned> create_mode) = 0;
};

// The host's real files. One instance for the process.
Files& real_files();

// Files for dry runs: reads pass through to `reads`; an append is printed as
// `would append "<text without its line breaks>" to <path>` on `out`
// (counted in `described` when given) and nothing changes.
class DescribingFiles : public Files {
 public:
  DescribingFiles(Files& reads, std::ostream& out,
                  std::shared_ptr<std::atomic<int>> described = nullptr)
      : reads_(reads), out_(out), described_(std::move(described)) {}
  std::optional<std::string> read_if_present(const std::filesystem::path& path) override;
  void append(const std::filesystem::path& path, std::string_view text,
              std::optional<unsigned> create_mode) override;

 private:
  Files& reads_;
  std::ostream& out_;
  std::shared_ptr<std::atomic<int>> described_;
};

}  // namespace bootstrap::host
