#include "bootstrap/docker/line_splitter.h"

#include <utility>

#include "bootstrap/docker/errors.h"

namespace bootstrap::docker {

namespace {

bool is_blank(std::string_view line) {
  return line.find_first_not_of(" \t\r") == std::string_view::npos;
}

}  // namespace

LineSplitter::LineSplitter(LineSink sink, std::size_t max_line)
    : sink_(std::move(sink)), max_line_(max_line) {}

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
  // A long line arriving in many slices is searched from where the last
  // slice's search ended, not from its start again.
  std::size_t from = std::exchange(searched_, 0);  // 0 if the sink throws
  for (std::size_t newline; (newline = pending_.find('\n', from)) != std::string::npos;) {
    std::string_view line(pending_.data() + start, newline - start);
    start = from = newline + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!is_blank(line)) sink_(line);
  }
  searched_ = pending_.size() - start;
  if (searched_ > max_line_)
    throw MalformedAnswer("the engine sent a line of more than " + std::to_string(max_line_) +
                          " bytes without a line end");
}

void LineSplitter::finish() {
  std::string rest = std::exchange(pending_, std::string());
  searched_ = 0;
  std::string_view line = rest;
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (!is_blank(line)) sink_(line);
}

}  // namespace bootstrap::docker
