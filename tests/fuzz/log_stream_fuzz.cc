// A container's log stream, framed or raw, cut into slices as libcurl might
// hand it over: lines or EngineError, and no line holds a line feed.
#include "bootstrap/docker/log_demuxer.h"
#include "bootstrap/docker/errors.h"
#include "tests/fuzz/fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const bool tty = data[0] & 1;
  const std::size_t slice = 1 + (data[0] >> 1) % 32;
  const std::string_view stream = bootstrap::fuzz::text_of(data + 1, size - 1);
  bootstrap::docker::LogDemuxer demuxer(
      tty, [](bootstrap::docker::LogStream, std::string_view line) {
        if (line.find('\n') != std::string_view::npos)
          bootstrap::fuzz::finding("a line feed inside a log line");
      });
  try {
    for (std::size_t at = 0; at < stream.size(); at += slice) demuxer.feed(stream.substr(at, slice));
    demuxer.finish();
  } catch (const bootstrap::docker::EngineError&) {
  }
  return 0;
}
