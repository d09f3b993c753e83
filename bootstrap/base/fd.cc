#include "bootstrap/base/fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace bootstrap::base {

namespace {

// Root can write anything anyway; the caller's own files are what a run
// without root (the tests) writes.
std::string owner_problem(const struct stat& info) {
  if (info.st_uid == 0 || info.st_uid == ::geteuid()) return {};
  return "it belongs to uid " + std::to_string(info.st_uid) + ", not to root" +
         (::geteuid() == 0 ? "" : " or uid " + std::to_string(::geteuid()));
}

}  // namespace

int write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return 0;
}

UniqueFd::UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) reset(std::exchange(other.fd_, -1));
  return *this;
}

UniqueFd::~UniqueFd() { reset(); }

void UniqueFd::reset(int fd) noexcept {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

std::string open_error(int error) {
  if (error == ELOOP) return "it is a symbolic link, which is not followed";
  return std::strerror(error);
}

UniqueFd open_private_folder(const std::filesystem::path& path) {
  UniqueFd folder(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!folder) {
    // O_DIRECTORY answers ENOTDIR for a link, which would hide the reason.
    struct stat info {};
    if (errno == ENOTDIR && ::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode))
      throw std::runtime_error(open_error(ELOOP));
    throw std::runtime_error(open_error(errno));
  }
  struct stat info {};
  if (::fstat(folder.get(), &info) != 0) throw std::runtime_error(std::strerror(errno));
  if (std::string problem = owner_problem(info); !problem.empty())
    throw std::runtime_error(problem);
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
    throw std::runtime_error(std::string("its group or others may write it (mode ") + mode + ")");
  }
  return folder;
}

void check_private_file(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) throw std::runtime_error(std::strerror(errno));
  if (!S_ISREG(info.st_mode)) throw std::runtime_error("it is not a regular file");
  if (info.st_nlink != 1)
    throw std::runtime_error("it has " + std::to_string(info.st_nlink) +
                             " names (hard links), not one");
  if (std::string problem = owner_problem(info); !problem.empty())
    throw std::runtime_error(problem);
}

}  // namespace bootstrap::base
