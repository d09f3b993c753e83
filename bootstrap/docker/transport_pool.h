// TransportPool: a Transport that lends each request a transport of its own.
//
// A libcurl transport holds one connection and serves one request at a time.
// The installer may have several requests of one phase in flight (--jobs), so
// the pool hands every request an idle transport, makes a new one when none
// is idle, and takes it back when the request has ended; each keeps its
// connection alive for the next request it serves. Requests one after another
// reuse one transport and one connection, as a single transport would.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bootstrap/docker/transport.h"

namespace bootstrap::docker {

class TransportPool : public Transport {
 public:
  using Factory = std::function<std::unique_ptr<Transport>()>;

  // Makes the first transport at once, so that a factory that cannot make
  // one throws here (what it throws), before any request.
  explicit TransportPool(Factory make);
  ~TransportPool() override;
  TransportPool(const TransportPool&) = delete;
  TransportPool& operator=(const TransportPool&) = delete;

  // Each passes the request to a transport no other request is using, and
  // throws what that transport throws (or what the factory throws when a new
  // one is needed). Safe to call from several threads at once.
  Response send(const Request& request) override;
  Response send_streaming(const Request& request, const LineSink& sink) override;
  Response send_streaming_bytes(const Request& request, const ByteSink& sink) override;
  Response send_upload(const Request& request, std::uint64_t length, const ByteSource& body,
                       const LineSink& sink) override;
  std::string endpoint() const override;

 private:
  class Loan;

  Factory make_;
  std::string endpoint_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<Transport>> idle_;
};

}  // namespace bootstrap::docker
