#include "bootstrap/host/text.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include "bootstrap/host/host.h"

namespace bootstrap::host {

std::optional<std::string> read_file_if_present(const std::filesystem::path& path) {
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

}  // namespace bootstrap::host
