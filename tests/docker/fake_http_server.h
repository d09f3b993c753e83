// A one-thread HTTP/1.1 server on a temporary unix socket, for testing
// CurlTransport on the wire. It records each request as received (head and
// body) and answers with canned raw bytes, so a test can check exactly what
// libcurl sent and feed back any framing, split or failure.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace bootstrap::docker::testing {

struct RawReply {
  // Sent one after the other; before each part after the first the server
  // calls `before_part` (if set) with its index, e.g. to wait for the client.
  std::vector<std::string> parts;
  std::function<void(std::size_t)> before_part;
  bool close_after = false;  // close the connection once the parts are sent
};

struct ReceivedRequest {
  std::string request_line;  // "POST /v1.41/x HTTP/1.1"
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  int connection = 0;  // which accepted connection carried it, from 1

  // The first header named `name` (case-insensitive), or nullopt.
  std::optional<std::string> header(const std::string& name) const;
};

class FakeHttpServer {
 public:
  enum class Listen { kUnixSocket, kLoopbackTcp };

  // Throws std::runtime_error when the socket cannot be made.
  explicit FakeHttpServer(Listen where = Listen::kUnixSocket);
  ~FakeHttpServer();
  FakeHttpServer(const FakeHttpServer&) = delete;
  FakeHttpServer& operator=(const FakeHttpServer&) = delete;

  const std::string& socket_path() const { return socket_path_; }  // kUnixSocket
  int port() const { return port_; }                               // kLoopbackTcp
  void reply(RawReply reply);
  // A complete response with a Content-Length body.
  void reply(int status, const std::string& reason, const std::string& body,
             const std::string& extra_headers = "");

  // Requests received so far (copied under the lock).
  std::vector<ReceivedRequest> requests() const;
  int connections() const { return connections_; }

 private:
  void serve();
  bool serve_connection(int fd, int number, std::string& buffer);

  std::string dir_;
  std::string socket_path_;
  int port_ = 0;
  int listen_fd_ = -1;
  std::atomic<int> connection_fd_{-1};
  std::atomic<bool> stopping_{false};
  std::atomic<int> connections_{0};
  mutable std::mutex mutex_;
  std::deque<RawReply> replies_;
  std::vector<ReceivedRequest> requests_;
  std::thread thread_;
};

// Transfer-Encoding: chunked framing of one piece of body.
std::string chunk(const std::string& data);

}  // namespace bootstrap::docker::testing
