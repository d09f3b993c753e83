// Line-at-a-time reading of the engine's streamed answers (pull progress,
// events).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "bootstrap/docker/transport.h"

namespace bootstrap::docker {

// The longest streamed line LineSplitter accepts by default. The engine's
// progress and log lines are far shorter; the bound keeps a stream that never
// sends a line end from taking all memory.
inline constexpr std::size_t kMaxLineBytes = std::size_t{16} << 20;

// Cuts a byte stream into lines as it arrives in arbitrary slices: feed()
// hands each complete line (without "\n" or a trailing "\r") to the sink and
// keeps the rest; finish() hands over a final unterminated line. Blank lines
// are skipped. Each byte is searched once, however the stream is sliced.
class LineSplitter {
 public:
  explicit LineSplitter(LineSink sink, std::size_t max_line = kMaxLineBytes);
  // Throws MalformedAnswer once the unfinished line exceeds `max_line` bytes.
  void feed(std::string_view bytes);
  void finish();

 private:
  LineSink sink_;
  std::size_t max_line_;
  std::string pending_;
  std::size_t searched_ = 0;  // bytes of pending_ known to hold no newline
};

}  // namespace bootstrap::docker
