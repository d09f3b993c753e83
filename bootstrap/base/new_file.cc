#include "bootstrap/base/new_file.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace bootstrap::base {

NewFile::NewFile(const std::filesystem::path& target, mode_t mode) : target_(target) {
  const std::filesystem::path folder = target.parent_path().empty() ? "." : target.parent_path();
  std::string pattern = (folder / ("." + target.filename().string() + ".XXXXXX")).string();
  fd_.reset(::mkostemp(pattern.data(), O_CLOEXEC));
  if (!fd_) throw std::runtime_error(std::strerror(errno));
  path_ = pattern;
  // mkostemp always makes 0600; the caller's mode is honoured the way open()
  // would honour it.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  if (::fchmod(fd_.get(), mode & ~mask) != 0) throw std::runtime_error(std::strerror(errno));
}

NewFile::~NewFile() {
  if (!path_.empty()) ::unlink(path_.c_str());
}

void NewFile::put_in_place(bool replace) {
  // A write the file system took but could not store shows here, before the
  // file takes the target's name.
  if (::fsync(fd_.get()) != 0) throw std::runtime_error(std::strerror(errno));
  if (::close(fd_.release()) != 0) throw std::runtime_error(std::strerror(errno));
  if (replace) {
    if (::rename(path_.c_str(), target_.c_str()) != 0)
      throw std::runtime_error(std::strerror(errno));
  } else if (::renameat2(AT_FDCWD, path_.c_str(), AT_FDCWD, target_.c_str(), RENAME_NOREPLACE) !=
             0) {
    if (errno == EEXIST) throw TargetExists();
    // A file system without RENAME_NOREPLACE: link(2) refuses a taken name
    // just as well, and the destructor removes the hidden one.
    if (errno != EINVAL) throw std::runtime_error(std::strerror(errno));
    if (::link(path_.c_str(), target_.c_str()) != 0) {
      if (errno == EEXIST) throw TargetExists();
      throw std::runtime_error(std::strerror(errno));
    }
    return;
  }
  path_.clear();
}

}  // namespace bootstrap::base
