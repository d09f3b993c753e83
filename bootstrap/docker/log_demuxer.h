// Line-at-a-time reading of a container's log stream.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "bootstrap/docker/client.h"

namespace bootstrap::docker {

// Cuts a container's log stream into lines as it arrives in arbitrary slices.
// Without a terminal the engine multiplexes stdout and stderr in frames (an
// 8-byte header: the stream, three zero bytes, the payload's length big-endian);
// with one the stream is raw and all of it counts as stdout. Each stream keeps
// its own unfinished line, so frames may split lines anywhere. feed() hands
// each complete line (without "\n" or a trailing "\r") to the sink; finish()
// hands over what is left. A line longer than kMaxLineBytes is handed over in
// pieces of that length, so memory stays bounded and nothing is dropped.
// Throws EngineError for a frame of an unknown stream.
class LogDemuxer {
 public:
  LogDemuxer(bool tty, LogSink sink);
  void feed(std::string_view bytes);
  void finish();

 private:
  void take(LogStream stream, std::string_view payload);

  bool tty_;
  LogSink sink_;
  std::string header_;      // an incomplete frame header
  std::size_t payload_left_ = 0;
  LogStream current_ = LogStream::kStdout;
  std::string pending_[2];  // the unfinished line of stdout, of stderr
};

}  // namespace bootstrap::docker
