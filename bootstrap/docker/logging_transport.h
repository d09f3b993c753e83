// LoggingTransport: a Transport that reports every request it passes on.
//
// It wraps the real transport so that a record of what the engine was asked,
// and how it answered, can be kept without touching the client: one line per
// request with its method, target, status and duration. Bodies and headers
// are never reported, so neither a definition nor a credential (login's body,
// X-Registry-Auth) reaches the record.
#pragma once

#include <memory>
#include <string>

#include "bootstrap/docker/transport.h"

namespace bootstrap::docker {

// Where a LoggingTransport reports. Abstract so the transport knows nothing of
// files and tests can keep the lines in memory.
class RequestRecord {
 public:
  virtual ~RequestRecord() = default;
  // Takes one finished request's line: "GET /v1.41/networks 200 3 ms".
  // Requests in flight together report from their own threads, so an
  // implementation that keeps state guards it.
  virtual void request_done(const std::string& line) = 0;
};

class LoggingTransport : public Transport {
 public:
  // Passes every request to `inner` and reports it to `record`, which must
  // outlive this object.
  LoggingTransport(std::unique_ptr<Transport> inner, RequestRecord& record);

  // Both report the request after `inner` has answered or thrown, and
  // rethrow what it threw; a request without an answer reads "no answer".
  Response send(const Request& request) override;
  Response send_streaming(const Request& request, const LineSink& sink) override;
  Response send_streaming_bytes(const Request& request, const ByteSink& sink) override;
  Response send_upload(const Request& request, std::uint64_t length, const ByteSource& body,
                       const LineSink& sink) override;
  std::string endpoint() const override;

 private:
  template <typename Send>
  Response timed(const Request& request, Send send);

  std::unique_ptr<Transport> inner_;
  RequestRecord& record_;
};

}  // namespace bootstrap::docker
