// The byte-level link between the client and the engine.
//
// Abstract so that unit tests can assert the exact requests the client makes
// and answer with any status or any split of a streamed body. The real
// implementation is CurlTransport (curl_transport.h), one reused libcurl handle
// over a unix socket or TCP/TLS.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace bootstrap::docker {

using Headers = std::vector<std::pair<std::string, std::string>>;

struct Request {
  std::string method;                // "GET", "HEAD", "POST", "DELETE"
  std::string target;                // path and query, e.g. "/v1.41/containers/json?all=1"
  std::optional<std::string> body;   // JSON text; sent with Content-Type: application/json
  Headers headers;                   // extra headers, e.g. X-Registry-Auth

  bool operator==(const Request&) const = default;
};

struct Response {
  long status = 0;
  Headers headers;   // as received; look names up with header()
  std::string body;  // empty for a streamed 2xx response

  // The first header named `name`, compared case-insensitively.
  std::optional<std::string> header(std::string_view name) const;
};

// Receives each complete line of a streamed body, without its line ending.
using LineSink = std::function<void(std::string_view line)>;
// Receives a streamed body's bytes as they arrive, in slices of any size.
using ByteSink = std::function<void(std::string_view bytes)>;
// Fills up to `size` bytes of `buffer` with the next part of a request body
// and returns how many it wrote; 0 means the body has ended.
using ByteSource = std::function<std::size_t(char* buffer, std::size_t size)>;

class Transport {
 public:
  virtual ~Transport() = default;

  // Sends one request and returns the whole response.
  // Throws ConnectionError when the engine cannot be reached or stops
  // answering.
  virtual Response send(const Request& request) = 0;

  // Sends one request whose successful (2xx) response body is a stream of
  // lines, handing each line to `sink` as it arrives; an error response's body
  // is returned whole instead. Exceptions thrown by `sink` end the transfer
  // and propagate.
  // Throws ConnectionError as send() does.
  virtual Response send_streaming(const Request& request, const LineSink& sink) = 0;

  // As send_streaming(), but hands the 2xx body over in the slices it arrives
  // in, for bodies that are not lines (a container's multiplexed log). Such a
  // stream may stay silent for as long as the container does, so no stall
  // limit applies.
  // Throws ConnectionError as send() does.
  virtual Response send_streaming_bytes(const Request& request, const ByteSink& sink) = 0;

  // Sends one request whose body, `length` bytes of the type the request's
  // Content-Type header names, is read from `body` piece by piece as it goes
  // out, so a body of any size (an image archive) is never held whole. A 2xx
  // response body is a stream of lines handed to `sink` as for
  // send_streaming(). Exceptions thrown by `body` or `sink` end the transfer
  // and propagate.
  // Throws ConnectionError as send() does, also when `body` ends early.
  virtual Response send_upload(const Request& request, std::uint64_t length,
                               const ByteSource& body, const LineSink& sink) = 0;

  // Where requests go, for messages: "unix:///var/run/docker.sock".
  virtual std::string endpoint() const = 0;
};

}  // namespace bootstrap::docker
