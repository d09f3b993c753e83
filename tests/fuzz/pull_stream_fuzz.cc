// The pull stream, cut into slices as libcurl might hand it over, read by the
// client and drawn by the progress display: only our errors, no undefined
// behaviour, whatever the numbers and texts in it.
#include <memory>
#include <sstream>

#include "bootstrap/app/progress.h"
#include "bootstrap/docker/docker_client.h"
#include "bootstrap/docker/line_splitter.h"
#include "bootstrap/docker/errors.h"
#include "tests/fuzz/fuzz_input.h"

namespace {

using namespace bootstrap::docker;

class SlicedStream : public Transport {
 public:
  SlicedStream(std::string body, std::size_t slice) : body_(std::move(body)), slice_(slice) {}
  Response send(const Request&) override { return Response{200, {}, ""}; }
  Response send_streaming(const Request&, const LineSink& sink) override {
    // A small limit, so that the refusal of long lines is reached too.
    LineSplitter splitter(sink, 4096);
    for (std::size_t at = 0; at < body_.size(); at += slice_)
      splitter.feed(std::string_view(body_).substr(at, slice_));
    splitter.finish();
    return Response{200, {}, ""};
  }
  // A pull never asks for raw bytes.
  Response send_streaming_bytes(const Request& request, const ByteSink&) override {
    return send(request);
  }
  // A load's answer is read as a pull's is.
  Response send_upload(const Request& request, std::uint64_t, const ByteSource&,
                       const LineSink& sink) override {
    return send_streaming(request, sink);
  }
  std::string endpoint() const override { return "unix:///fuzz.sock"; }

 private:
  std::string body_;
  std::size_t slice_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t slice = 1 + data[0] % 64;
  DockerClient client(
      std::make_unique<SlicedStream>(std::string(bootstrap::fuzz::text_of(data + 1, size - 1)), slice),
      "1.41");
  std::ostringstream screen;
  auto clock = [] {
    static bootstrap::app::PullProgressView::Clock::time_point t{};
    return t += std::chrono::seconds(1);
  };
  bootstrap::app::PullProgressView view(screen, true, clock);
  try {
    client.pull_image("app", "1", [&](const PullEvent& event) {
      view(event);
      for (const std::string& line : view.drawn())
        for (char c : line)
          if (c == '\x1b' || c == '\r' || c == '\n')
            bootstrap::fuzz::finding("a control character reached the display: " + line);
    });
  } catch (const EngineError&) {
  }
  view(PullEvent{});
  return 0;
}
