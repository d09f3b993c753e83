#include "bootstrap/docker/log_demuxer.h"

#include <algorithm>
#include <utility>

#include "bootstrap/docker/line_splitter.h"
#include "bootstrap/docker/errors.h"

namespace bootstrap::docker {

namespace {

constexpr std::size_t kHeaderSize = 8;

std::string_view without_cr(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

}  // namespace

LogDemuxer::LogDemuxer(bool tty, LogSink sink) : tty_(tty), sink_(std::move(sink)) {}

void LogDemuxer::take(LogStream stream, std::string_view payload) {
  std::string& pending = pending_[stream == LogStream::kStderr ? 1 : 0];
  for (std::size_t newline; (newline = payload.find('\n')) != std::string_view::npos;) {
    // Most lines arrive whole in one frame and are handed over in place.
    if (pending.empty()) {
      sink_(stream, without_cr(payload.substr(0, newline)));
    } else {
      pending.append(payload.substr(0, newline));
      std::string line = std::exchange(pending, std::string());
      sink_(stream, without_cr(line));
    }
    payload.remove_prefix(newline + 1);
  }
  pending.append(payload);
  // A program may write without ever ending its line; rather than hold all of
  // it, or refuse output the operator wants to read, it is handed over in
  // pieces of the longest line the engine client keeps.
  while (pending.size() >= kMaxLineBytes) {
    sink_(stream, std::string_view(pending).substr(0, kMaxLineBytes));
    pending.erase(0, kMaxLineBytes);
  }
}

void LogDemuxer::feed(std::string_view bytes) {
  if (tty_) {
    take(LogStream::kStdout, bytes);
    return;
  }
  while (!bytes.empty()) {
    if (payload_left_ == 0) {
      std::size_t wanted = kHeaderSize - header_.size();
      header_.append(bytes.substr(0, wanted));
      bytes.remove_prefix(std::min(wanted, bytes.size()));
      if (header_.size() < kHeaderSize) return;
      auto byte = [this](std::size_t i) { return static_cast<unsigned char>(header_[i]); };
      // 0 is stdin, which the engine only sends for an attached stdin; it is
      // output the operator wants to see all the same.
      if (byte(0) > 2)
        throw EngineError("read container log: unknown stream " + std::to_string(byte(0)) +
                          " in a frame header");
      current_ = byte(0) == 2 ? LogStream::kStderr : LogStream::kStdout;
      payload_left_ = (std::size_t{byte(4)} << 24) | (std::size_t{byte(5)} << 16) |
                      (std::size_t{byte(6)} << 8) | std::size_t{byte(7)};
      header_.clear();
      continue;
    }
    std::string_view payload = bytes.substr(0, payload_left_);
    payload_left_ -= payload.size();
    bytes.remove_prefix(payload.size());
    take(current_, payload);
  }
}

void LogDemuxer::finish() {
  for (LogStream stream : {LogStream::kStdout, LogStream::kStderr}) {
    std::string& pending = pending_[stream == LogStream::kStderr ? 1 : 0];
    if (pending.empty()) continue;
    std::string line = std::exchange(pending, std::string());
    sink_(stream, without_cr(line));
  }
}

}  // namespace bootstrap::docker
