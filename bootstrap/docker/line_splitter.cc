#include <utility>

#include "bootstrap/docker/docker_client.h"

namespace bootstrap::docker {

namespace {

bool is_blank(std::string_view line) {
  return line.find_first_not_of(" \t\r") == std::string_view::npos;
}

}  // namespace

LineSplitter::LineSplitter(LineSink sink) : sink_(std::move(sink)) {}

void LineSplitter::feed(std::string_view bytes) {
  pending_.append(bytes);
  std::size_t start = 0;
  // Lines are handed over in place; the consumed prefix is dropped once, so a
  // slice holding many lines costs no more than their length.
  struct Consume {
    std::string& text;
    std::size_t& count;
    ~Consume() { text.erase(0, count); }
  } consume{pending_, start};
  for (std::size_t newline; (newline = pending_.find('\n', start)) != std::string::npos;) {
    std::string_view line(pending_.data() + start, newline - start);
    start = newline + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!is_blank(line)) sink_(line);
  }
}

void LineSplitter::finish() {
  std::string rest = std::exchange(pending_, std::string());
  std::string_view line = rest;
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (!is_blank(line)) sink_(line);
}

}  // namespace bootstrap::docker
