// CurlTransport: the Transport over libcurl.
//
// One easy handle serves every request of the transport, so its connection to
// the engine is kept alive between requests. Unix sockets are reached with
// CURLOPT_UNIX_SOCKET_PATH and never use TLS; tcp hosts use TLS 1.2 or later
// when the configuration asks for it. A connection attempt gives up after 10
// seconds; an established transfer has no overall time limit (pulls take as
// long as they take) but is abandoned once it has moved no byte for 10
// minutes. Not safe for concurrent use: give each thread its own transport.
//
// An answer that is kept whole (every answer but a streamed 2xx body, whose
// lines are bounded by the line splitter) may be at most kMaxAnswerBytes
// long; a longer one ends the transfer with MalformedAnswer naming the
// request. Every socket is opened close-on-exec, so programs started while a
// connection is open do not inherit it.
//
// When the engine cannot be reached, the ConnectionError's detail is advice
// that fits the cause, read from the system's error number and the address:
// a missing socket, a socket this account may not open, nothing listening at
// a tcp address, or which of the CA, the client certificate or its key the
// TLS handshake refused.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "bootstrap/docker/config.h"
#include "bootstrap/docker/transport.h"

namespace bootstrap::docker {

// The largest engine answer CurlTransport keeps: the largest JSON document
// the engine sends (a long container list, an image's inspection) is far
// smaller.
inline constexpr std::size_t kMaxAnswerBytes = std::size_t{64} << 20;

class CurlTransport : public Transport {
 public:
  // Does not contact the engine. Throws EngineError when libcurl cannot be
  // initialised.
  explicit CurlTransport(ClientConfig config);
  ~CurlTransport() override;
  CurlTransport(const CurlTransport&) = delete;
  CurlTransport& operator=(const CurlTransport&) = delete;

  Response send(const Request& request) override;
  Response send_streaming(const Request& request, const LineSink& sink) override;
  Response send_streaming_bytes(const Request& request, const ByteSink& sink) override;
  Response send_upload(const Request& request, std::uint64_t length, const ByteSource& body,
                       const LineSink& sink) override;
  std::string endpoint() const override;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Why this process cannot open the engine's unix socket at `path`, worded as
// advice ("permission denied: run as root, or as a member of the group that
// owns /var/run/docker.sock (docker)"), or "" when it may open it. Never
// throws.
std::string unix_socket_problem(const std::string& path);

}  // namespace bootstrap::docker
