// NewFile: a file that appears at its path only complete.
//
// The file is written under a hidden name of its own in the target's folder
// (".NAME.XXXXXX") and renamed to the target once written and flushed, so a
// reader never meets half a file, a failed run leaves nothing behind, and a
// link lying at the target is replaced, never written through.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <stdexcept>
#include <string>

#include "bootstrap/base/fd.h"

namespace bootstrap::base {

// put_in_place without `replace` found the target's name taken.
class TargetExists : public std::runtime_error {
 public:
  TargetExists() : std::runtime_error("the file exists") {}
};

class NewFile {
 public:
  // Makes the file beside `target` with `mode` less the umask. Throws
  // std::runtime_error with the system's words when it cannot.
  NewFile(const std::filesystem::path& target, mode_t mode);
  // Removes the file unless it was put in place.
  ~NewFile();
  NewFile(const NewFile&) = delete;
  NewFile& operator=(const NewFile&) = delete;

  int fd() const { return fd_.get(); }

  // Flushes the file to disk and gives it the target's name: with `replace`
  // over whatever has that name, without only when nothing (not even a
  // dangling link) has it. Throws TargetExists when the name is taken, and
  // std::runtime_error with the system's words for any other failure.
  void put_in_place(bool replace);

 private:
  std::filesystem::path target_;
  std::string path_;
  UniqueFd fd_;
};

}  // namespace bootstrap::base
