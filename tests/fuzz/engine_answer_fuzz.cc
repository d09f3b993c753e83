// Engine answers through the transport seam: whatever the engine sends to any
// read the installer makes, the client throws only its own errors.
#include <memory>

#include "bootstrap/docker/docker_client.h"
#include "bootstrap/docker/line_splitter.h"
#include "bootstrap/docker/errors.h"
#include "tests/fuzz/fuzz_input.h"

namespace {

using namespace bootstrap::docker;

// Answers every request with the same status and body.
class CannedTransport : public Transport {
 public:
  CannedTransport(long status, std::string body) : status_(status), body_(std::move(body)) {}
  Response send(const Request&) override {
    return Response{status_, {{"Content-Type", "application/json"}, {"Api-Version", body_}}, body_};
  }
  Response send_streaming(const Request& request, const LineSink& sink) override {
    LineSplitter splitter(sink);
    splitter.feed(body_);
    splitter.finish();
    return send(request);
  }
  Response send_streaming_bytes(const Request& request, const ByteSink& sink) override {
    sink(body_);
    return send(request);
  }
  Response send_upload(const Request& request, std::uint64_t, const ByteSource&,
                       const LineSink& sink) override {
    return send_streaming(request, sink);
  }
  std::string endpoint() const override { return "unix:///fuzz.sock"; }

 private:
  long status_;
  std::string body_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  static constexpr long kStatuses[] = {200, 204, 304, 400, 401, 404, 409, 500};
  const long status = kStatuses[data[0] % 8];
  const std::string body(bootstrap::fuzz::text_of(data + 1, size - 1));
  // Unpinned, so the version negotiation reads the answer too.
  DockerClient client(std::make_unique<CannedTransport>(status, body),
                      data[0] & 8 ? std::optional<std::string>("1.41") : std::nullopt);
  auto attempt = [](auto&& read) {
    try {
      read();
    } catch (const EngineError&) {
    }
  };
  attempt([&] { client.info(); });
  attempt([&] { client.version(); });
  attempt([&] { client.inspect_container("c"); });
  attempt([&] { client.list_containers(true); });
  attempt([&] { client.list_networks(); });
  attempt([&] { client.list_volumes(); });
  attempt([&] { client.get_volume("v"); });
  attempt([&] { client.get_image("i"); });
  attempt([&] { client.create_network("n"); });
  attempt([&] { client.create_container(ContainerSpec{.image = "i", .name = "c"}); });
  return 0;
}
