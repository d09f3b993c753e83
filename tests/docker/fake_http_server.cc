#include "tests/docker/fake_http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace bootstrap::docker::testing {

namespace {

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

bool send_all(int fd, const std::string& data) {
  std::size_t sent = 0;
  while (sent < data.size()) {
    ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

// Reads from `fd` into `buffer` until it holds at least `size` bytes.
bool read_until_size(int fd, std::string& buffer, std::size_t size) {
  char block[4096];
  while (buffer.size() < size) {
    ssize_t n = ::recv(fd, block, sizeof block, 0);
    if (n <= 0) return false;
    buffer.append(block, static_cast<std::size_t>(n));
  }
  return true;
}

bool read_until(int fd, std::string& buffer, const std::string& marker, std::size_t& at) {
  char block[4096];
  while ((at = buffer.find(marker)) == std::string::npos) {
    ssize_t n = ::recv(fd, block, sizeof block, 0);
    if (n <= 0) return false;
    buffer.append(block, static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace

std::optional<std::string> ReceivedRequest::header(const std::string& name) const {
  for (const auto& [key, value] : headers)
    if (lower(key) == lower(name)) return value;
  return std::nullopt;
}

std::string chunk(const std::string& data) {
  char size[32];
  std::snprintf(size, sizeof size, "%zx\r\n", data.size());
  return size + data + "\r\n";
}

FakeHttpServer::FakeHttpServer(Listen where) {
  bool bound = false;
  if (where == Listen::kUnixSocket) {
    char pattern[] = "/tmp/kestro-http-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir_ = pattern;
    socket_path_ = dir_ + "/engine.sock";
    listen_fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socket_path_.c_str(), sizeof address.sun_path - 1);
    bound = listen_fd_ >= 0 &&
            ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  } else {
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    bound = listen_fd_ >= 0 &&
            ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &size) == 0;
    port_ = ntohs(address.sin_port);
  }
  if (!bound || ::listen(listen_fd_, 8) != 0) {
    std::string reason = std::strerror(errno);
    if (listen_fd_ >= 0) ::close(listen_fd_);
    throw std::runtime_error("fake engine cannot listen: " + reason);
  }
  thread_ = std::thread([this] { serve(); });
}

FakeHttpServer::~FakeHttpServer() {
  stopping_ = true;
  ::shutdown(listen_fd_, SHUT_RDWR);
  if (int fd = connection_fd_.load(); fd >= 0) ::shutdown(fd, SHUT_RDWR);
  thread_.join();
  ::close(listen_fd_);
  if (!socket_path_.empty()) {
    ::unlink(socket_path_.c_str());
    ::rmdir(dir_.c_str());
  }
}

void FakeHttpServer::reply(RawReply reply) {
  std::lock_guard<std::mutex> lock(mutex_);
  replies_.push_back(std::move(reply));
}

void FakeHttpServer::reply(int status, const std::string& reason, const std::string& body,
                           const std::string& extra_headers) {
  reply(RawReply{{"HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\n" + extra_headers +
                  "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body},
                 nullptr,
                 false});
}

std::vector<ReceivedRequest> FakeHttpServer::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

void FakeHttpServer::serve() {
  while (!stopping_) {
    int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;
    connection_fd_ = fd;
    if (stopping_) ::shutdown(fd, SHUT_RDWR);
    int number = ++connections_;
    std::string buffer;  // bytes read ahead of the request being parsed
    while (serve_connection(fd, number, buffer)) {
    }
    connection_fd_ = -1;
    ::close(fd);
  }
}

// Serves one request; false once the connection is to be closed.
bool FakeHttpServer::serve_connection(int fd, int number, std::string& buffer) {
  std::size_t end = 0;
  if (!read_until(fd, buffer, "\r\n\r\n", end)) return false;
  ReceivedRequest request;
  request.connection = number;
  std::string head = buffer.substr(0, end);
  buffer.erase(0, end + 4);
  std::size_t line_end = head.find("\r\n");
  request.request_line = head.substr(0, line_end);
  while (line_end != std::string::npos) {
    std::size_t start = line_end + 2;
    line_end = head.find("\r\n", start);
    std::string line =
        head.substr(start, line_end == std::string::npos ? std::string::npos : line_end - start);
    std::size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::size_t value = line.find_first_not_of(' ', colon + 1);
    request.headers.emplace_back(line.substr(0, colon),
                                 value == std::string::npos ? "" : line.substr(value));
  }
  if (std::optional<std::string> length = request.header("Content-Length")) {
    std::size_t size = std::stoul(*length);
    if (!read_until_size(fd, buffer, size)) return false;
    request.body = buffer.substr(0, size);
    buffer.erase(0, size);
  } else if (request.header("Transfer-Encoding")) {
    // Recorded as received; the tests only check that it never happens.
    std::size_t at = 0;
    if (!read_until(fd, buffer, "0\r\n\r\n", at)) return false;
    request.body = buffer.substr(0, at + 5);
    buffer.erase(0, at + 5);
  }

  RawReply reply;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(request);
    if (replies_.empty()) {
      reply.parts = {"HTTP/1.1 599 No Canned Reply\r\nContent-Length: 0\r\n\r\n"};
    } else {
      reply = std::move(replies_.front());
      replies_.pop_front();
    }
  }
  for (std::size_t i = 0; i < reply.parts.size(); ++i) {
    if (i > 0 && reply.before_part) reply.before_part(i);
    if (!send_all(fd, reply.parts[i])) return false;
  }
  return !reply.close_after;
}

}  // namespace bootstrap::docker::testing
