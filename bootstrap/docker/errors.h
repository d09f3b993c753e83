// Errors raised by the Docker engine client.
//
// Every failure the client reports derives from EngineError, so a caller can
// catch "anything the engine said or did" in one place. The hierarchy keeps a
// transport failure (the engine cannot be reached at all) apart from an HTTP
// error status, and tells the two "not found" conditions callers act on apart
// from other API errors:
//
//   EngineError
//   ├── ConfigError        the environment names an engine we cannot talk to
//   ├── ConnectionError    the engine did not answer (socket, address, TLS)
//   ├── Interrupted        Ctrl-C ended or prevented the request
//   ├── MalformedAnswer    the answer cannot be read (not JSON, a number out
//   │                      of range, a line beyond the limit)
//   └── ApiError           the engine answered with an error status
//       └── NotFound       404
//           └── ImageNotFound   404 for an image lookup
//
// what() reads "what we were doing: status: the engine's message", for
// example "create container lumadex-api: 409: Conflict. The container name...".
#pragma once

#include <stdexcept>
#include <string>

namespace bootstrap::docker {

class EngineError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// DOCKER_HOST or the TLS settings name something this client does not support.
class ConfigError : public EngineError {
 public:
  using EngineError::EngineError;
};

// The engine could not be reached. The message names the socket or address.
class ConnectionError : public EngineError {
 public:
  ConnectionError(const std::string& context, const std::string& endpoint,
                  const std::string& detail);
  const std::string& endpoint() const { return endpoint_; }
  // What the transport reported, without context or endpoint.
  const std::string& detail() const { return detail_; }

 private:
  std::string endpoint_;
  std::string detail_;
};

// The operator asked us to stop (Ctrl-C): the request in flight was
// abandoned, or a new one was not sent. What the engine finished stays done.
class Interrupted : public EngineError {
 public:
  Interrupted() : EngineError("interrupted") {}
};

// Asks every engine request in flight to end, and every later one not to
// start, with Interrupted. Safe to call from a signal handler.
void request_interrupt() noexcept;
// Whether request_interrupt() has been called (and not cleared).
bool interrupt_requested() noexcept;
// Forgets an earlier request_interrupt(); for tests.
void clear_interrupt() noexcept;

// The engine answered, but not in a form we can read: a body that is not
// JSON where JSON is due, a number outside the range we accept, a streamed
// line beyond the splitter's limit. The message names what we were doing.
class MalformedAnswer : public EngineError {
 public:
  using EngineError::EngineError;
};

// The engine answered with a status outside 200-399 (or a stream that ended
// in an error object). status() is the HTTP status; message() the engine's own
// text without our context.
class ApiError : public EngineError {
 public:
  ApiError(const std::string& context, long status, const std::string& message);
  long status() const { return status_; }
  const std::string& message() const { return message_; }

 private:
  long status_;
  std::string message_;
};

class NotFound : public ApiError {
 public:
  using ApiError::ApiError;
};

class ImageNotFound : public NotFound {
 public:
  using NotFound::NotFound;
};

}  // namespace bootstrap::docker
