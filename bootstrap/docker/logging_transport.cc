#include "bootstrap/docker/logging_transport.h"

#include <chrono>

namespace bootstrap::docker {

LoggingTransport::LoggingTransport(std::unique_ptr<Transport> inner, RequestRecord& record)
    : inner_(std::move(inner)), record_(record) {}

template <typename Send>
Response LoggingTransport::timed(const Request& request, Send send) {
  const auto started = std::chrono::steady_clock::now();
  auto report = [&](const std::string& outcome) {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - started);
    record_.request_done(request.method + " " + request.target + " " + outcome + " " +
                         std::to_string(ms.count()) + " ms");
  };
  try {
    Response response = send();
    report(std::to_string(response.status));
    return response;
  } catch (...) {
    // A sink that throws (an error object in a pull stream) ends a request
    // the engine did answer; either way no status reached us.
    report("no answer");
    throw;
  }
}

Response LoggingTransport::send(const Request& request) {
  return timed(request, [&] { return inner_->send(request); });
}

Response LoggingTransport::send_streaming(const Request& request, const LineSink& sink) {
  return timed(request, [&] { return inner_->send_streaming(request, sink); });
}

Response LoggingTransport::send_streaming_bytes(const Request& request, const ByteSink& sink) {
  return timed(request, [&] { return inner_->send_streaming_bytes(request, sink); });
}

Response LoggingTransport::send_upload(const Request& request, std::uint64_t length,
                                       const ByteSource& body, const LineSink& sink) {
  return timed(request, [&] { return inner_->send_upload(request, length, body, sink); });
}

std::string LoggingTransport::endpoint() const { return inner_->endpoint(); }

}  // namespace bootstrap::docker
