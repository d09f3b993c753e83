#include "bootstrap/host/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include "bootstrap/base/fd.h"
#include "bootstrap/base/text.h"
#include "bootstrap/host/host.h"

namespace bootstrap::host {
namespace {

class RealFiles : public Files {
 public:
  std::optional<std::string> read_if_present(const std::filesystem::path& path) override {
    auto fail = [&path](int error) {
      return HostError("cannot read " + path.string() + ": " + std::strerror(error));
    };
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      if (errno == ENOENT) return std::nullopt;
      throw fail(errno);
    }
    std::string content;
    char buffer[4096];
    for (;;) {
      ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n > 0) {
        content.append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0) {
        break;
      } else if (errno != EINTR) {
        int error = errno;
        ::close(fd);
        throw fail(error);
      }
    }
    ::close(fd);
    return content;
  }

  void append(const std::filesystem::path& path, std::string_view text,
              std::optional<unsigned> create_mode) override {
    auto fail = [&path](int error) {
      return HostError("cannot write " + path.string() + ": " + std::strerror(error));
    };
    int flags = O_WRONLY | O_APPEND | O_CLOEXEC | (create_mode ? O_CREAT : 0);
    int fd = ::open(path.c_str(), flags, create_mode.value_or(0));
    if (fd < 0) throw fail(errno);
    // The mode given to open() is narrowed by the umask; the caller's mode is
    // meant as given (settings under /etc are readable by all).
    if (create_mode && ::fchmod(fd, static_cast<mode_t>(*create_mode)) != 0) {
      int error = errno;
      ::close(fd);
      throw fail(error);
    }
    if (int error = base::write_all(fd, text); error != 0) {
      ::close(fd);
      throw fail(error);
    }
    if (::close(fd) != 0) throw fail(errno);
  }
};

}  // namespace

Files& real_files() {
  static RealFiles files;
  return files;
}

std::optional<std::string> DescribingFiles::read_if_present(const std::filesystem::path& path) {
  return reads_.read_if_present(path);
}

void DescribingFiles::append(const std::filesystem::path& path, std::string_view text,
                             std::optional<unsigned>) {
  out_ << "would append \"" << base::trim(text) << "\" to " << path.string() << std::endl;
  if (described_) ++*described_;
}

}  // namespace bootstrap::host
