// A Transport that records every request and answers from a queue of canned
// responses, for unit tests of DockerClient. A canned 2xx answer to a
// streaming request is cut into the given slice sizes and fed through a
// LineSplitter, as the real transport does with what libcurl hands it.
#pragma once

#include <algorithm>
#include <deque>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "bootstrap/docker/docker_client.h"
#include "bootstrap/docker/line_splitter.h"
#include "bootstrap/docker/errors.h"
#include "bootstrap/docker/transport.h"

namespace bootstrap::docker::testing {

struct Canned {
  Response response;
  std::vector<std::size_t> slices;  // streamed bodies only; empty: one slice
  bool unreachable = false;         // throw ConnectionError instead
};

// What the fake saw and what it still has to say; outlives the client's copy
// of the transport so tests can inspect it after the client is gone.
struct FakeEngine {
  std::vector<Request> requests;
  std::deque<Canned> replies;

  void reply(long status, std::string body = "", Headers headers = {}) {
    replies.push_back(Canned{Response{status, std::move(headers), std::move(body)}, {}, false});
  }
  // A JSON answer, with the Content-Type the engine sends.
  void reply_json(long status, std::string body) {
    reply(status, std::move(body), {{"Content-Type", "application/json"}});
  }
  void reply_stream(std::string body, std::vector<std::size_t> slices) {
    replies.push_back(Canned{Response{200, {{"Content-Type", "application/json"}}, std::move(body)},
                             std::move(slices), false});
  }
  void unreachable() { replies.push_back(Canned{{}, {}, true}); }
};

class FakeTransport : public Transport {
 public:
  explicit FakeTransport(std::shared_ptr<FakeEngine> engine) : engine_(std::move(engine)) {}

  Response send(const Request& request) override { return next(request).response; }

  Response send_streaming(const Request& request, const LineSink& sink) override {
    Canned canned = next(request);
    Response& response = canned.response;
    if (response.status < 200 || response.status >= 300) return response;
    LineSplitter splitter(sink);
    std::string_view body = response.body;
    std::size_t offset = 0;
    for (std::size_t slice : canned.slices) {
      if (offset >= body.size()) break;
      splitter.feed(body.substr(offset, slice));
      offset += slice;
    }
    if (offset < body.size()) splitter.feed(body.substr(offset));
    splitter.finish();
    response.body.clear();
    return response;
  }

  Response send_streaming_bytes(const Request& request, const ByteSink& sink) override {
    Canned canned = next(request);
    Response& response = canned.response;
    if (response.status < 200 || response.status >= 300) return response;
    std::string_view body = response.body;
    for (std::size_t slice : canned.slices) {
      if (body.empty()) break;
      sink(body.substr(0, slice));
      body.remove_prefix(std::min(slice, body.size()));
    }
    if (!body.empty()) sink(body);
    response.body.clear();
    return response;
  }

  // The body is read to its end and kept as the recorded request's body.
  Response send_upload(const Request& request, std::uint64_t length, const ByteSource& body,
                       const LineSink& sink) override {
    Request sent = request;
    sent.body.emplace();
    char buffer[4096];
    while (std::size_t n = body(buffer, sizeof buffer)) sent.body->append(buffer, n);
    if (sent.body->size() != length)
      throw ConnectionError("", endpoint(), "the body ended after " +
                                                std::to_string(sent.body->size()) + " bytes");
    return send_streaming(sent, sink);
  }

    std::string endpoint() const override { return "unix:///fake/docker.sock"; }

 private:
  Canned next(const Request& request) {
    engine_->requests.push_back(request);
    if (engine_->replies.empty())
      throw std::logic_error("fake engine has no answer for " + request.method + " " +
                             request.target);
    Canned canned = std::move(engine_->replies.front());
    engine_->replies.pop_front();
    if (canned.unreachable) throw ConnectionError("", endpoint(), "Could not connect to server");
    return canned;
  }

  std::shared_ptr<FakeEngine> engine_;
};

// A client over a fresh fake engine, pinned to `version` so tests that are not
// about negotiation see no /_ping.
inline std::pair<std::unique_ptr<DockerClient>, std::shared_ptr<FakeEngine>> fake_client(
    std::optional<std::string> version = "1.41") {
  auto engine = std::make_shared<FakeEngine>();
  auto client = std::make_unique<DockerClient>(std::make_unique<FakeTransport>(engine), version);
  return {std::move(client), engine};
}

}  // namespace bootstrap::docker::testing
