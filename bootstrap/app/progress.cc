#include "bootstrap/app/progress.h"

#include <algorithm>
#include <cstdio>
#include <limits>

#include "bootstrap/base/text.h"

namespace bootstrap::app {

namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(100);

// Layer statuses after which a layer's bytes are all there.
bool finished_status(const std::string& status) {
  return status == "Pull complete" || status == "Already exists" ||
         status == "Download complete";
}

// Sizes come from the engine and may be anything up to int64's maximum; a
// sum that would overflow stays at the maximum.
std::int64_t saturating_add(std::int64_t a, std::int64_t b) {
  std::int64_t sum = 0;
  return __builtin_add_overflow(a, b, &sum) ? std::numeric_limits<std::int64_t>::max() : sum;
}

}  // namespace

PullProgressView::PullProgressView(std::ostream& out, bool color,
                                   std::function<Clock::time_point()> now)
    : screen_(out), color_(color), now_(std::move(now)) {}

std::string PullProgressView::human_bytes(std::int64_t bytes) {
  static const char* const kUnits[] = {"B", "kB", "MB", "GB", "TB"};
  double value = static_cast<double>(bytes);
  std::size_t unit = 0;
  while (value >= 1000.0 && unit + 1 < std::size(kUnits)) {
    value /= 1000.0;
    ++unit;
  }
  char buffer[32];
  if (unit == 0)
    std::snprintf(buffer, sizeof buffer, "%lld B", static_cast<long long>(bytes));
  else
    std::snprintf(buffer, sizeof buffer, "%.1f %s", value, kUnits[unit]);
  return buffer;
}

void PullProgressView::operator()(const docker::PullEvent& event) {
  if (event.id.empty() && event.status.empty()) {
    screen_.clear();
    layers_.clear();
    return;
  }
  // The stream's first line names the tag being pulled, not a layer; lines
  // without an id (digest, final status) carry nothing to show.
  if (event.id.empty() || event.status.rfind("Pulling from", 0) == 0) return;

  auto it = std::find_if(layers_.begin(), layers_.end(),
                         [&](const Layer& l) { return l.id == event.id; });
  if (it == layers_.end()) {
    layers_.push_back(Layer{event.id, "", 0, 0, "", false});
    it = layers_.end() - 1;
  }
  it->status = event.status;
  it->units = event.units;
  if (event.total && *event.total > 0) it->total = *event.total;
  if (event.current) it->current = *event.current;
  if (finished_status(event.status)) {
    it->done = true;
    if (it->total > 0 && it->units.empty()) it->current = it->total;
  }

  Clock::time_point now = now_();
  if (!screen_.drawn().empty() && now - last_draw_ < kRedrawInterval) return;
  last_draw_ = now;
  screen_.show(render(), color_);
}

std::vector<std::string> PullProgressView::render() const {
  std::vector<std::string> lines;
  std::int64_t done = 0, known = 0;
  std::size_t finished = 0;
  for (const Layer& l : layers_) {
    std::string line = "  " + base::printable(l.id.substr(0, 12)) + " " + base::printable(l.status);
    if (l.units == "s") {
      line += " " + std::to_string(l.current) + " s";
    } else if (l.current > 0 || l.total > 0) {
      line += " " + human_bytes(l.current);
      if (l.total > 0) line += " / " + human_bytes(l.total);
      done = saturating_add(done, l.current);
      known = saturating_add(known, l.total);
    }
    if (l.done) ++finished;
    lines.push_back(line);
  }
  // A stream without byte counts (Podman's) shows layers only, not "0 B".
  std::string total = "  total ";
  if (done > 0 || known > 0) {
    total += human_bytes(done);
    if (known > 0) total += " / " + human_bytes(known);
    total += ", ";
  }
  total += std::to_string(finished) + " of " + std::to_string(layers_.size()) + " layers done";
  lines.push_back(total);
  return lines;
}

}  // namespace bootstrap::app
