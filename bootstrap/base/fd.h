// Open file descriptors: writing to them, owning them, and opening the
// files that root writes in shared places without being led elsewhere.
//
// A folder another account can write lets that account plant a link or a
// file of its own where root is about to write, so root's files live only in
// folders that belong to root (or, for a test run without root, to the
// caller) and that neither group nor others may write; within such a folder
// a file is opened relative to the folder's descriptor, never through a
// link, and checked once open.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <utility>

namespace bootstrap::base {

// Writes all of `bytes` to `fd`, resuming after short writes and signals.
// Returns 0 when everything was written, else the errno of the failed write
// (callers name the file in their own error).
int write_all(int fd, std::string_view bytes);

// Owns one file descriptor (or none, -1) and closes it when it ends.
class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) noexcept : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept;
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd();

  int get() const noexcept { return fd_; }
  explicit operator bool() const noexcept { return fd_ >= 0; }
  // Closes what it owns, if anything, and owns `fd` instead.
  void reset(int fd = -1) noexcept;
  // Hands the descriptor over to the caller, owning none.
  int release() noexcept { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

// Opens the folder `path` (its last component never through a link) for
// openat() and renameat(). Throws std::runtime_error saying why, without the
// path, when it cannot be opened or another account could change what lies
// in it: it belongs to neither root nor this process's effective user, or
// its group or others may write it.
UniqueFd open_private_folder(const std::filesystem::path& path);

// Checks that `fd` is a file of ours: a regular file with one link (so no
// second name elsewhere writes the same data), belonging to root or to this
// process's effective user. Throws std::runtime_error saying why, without
// the path.
void check_private_file(int fd);

// The system's words for a failed open() with O_NOFOLLOW, where ELOOP means
// that the last component is a link.
std::string open_error(int error);

}  // namespace bootstrap::base
