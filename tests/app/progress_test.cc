// The pull progress display on recorded pull streams.
#include "bootstrap/app/progress.h"

#include <sstream>

#include <gtest/gtest.h>

namespace bootstrap::app {
namespace {

docker::PullEvent event(const std::string& id, const std::string& status,
                        std::optional<std::int64_t> current = std::nullopt,
                        std::optional<std::int64_t> total = std::nullopt,
                        const std::string& units = "") {
  return docker::PullEvent{id, status, current, total, units};
}

// A clock that moves on by a second at each reading, so every event redraws.
struct SteppingClock {
  PullProgressView::Clock::time_point t{};
  PullProgressView::Clock::time_point operator()() { return t += std::chrono::seconds(1); }
};

TEST(PullProgressView, SeveralLayersWithAndWithoutTotals) {
  std::ostringstream out;
  SteppingClock clock;
  PullProgressView view(out, false, std::ref(clock));

  view(event("latest", "Pulling from lmdx2/app"));
  EXPECT_TRUE(view.drawn().empty()) << "the tag line is not a layer";

  view(event("aaaaaaaaaaaaaaaa", "Pulling fs layer"));
  view(event("bbbbbbbbbbbb", "Waiting"));
  view(event("aaaaaaaaaaaaaaaa", "Downloading", 1500000, 3000000));
  // Size not known yet (containerd store, or a registry without lengths):
  // counted as done bytes, not in the known total, no division anywhere.
  view(event("bbbbbbbbbbbb", "Downloading", 2000, 0));
  EXPECT_EQ((std::vector<std::string>{
                "  aaaaaaaaaaaa Downloading 1.5 MB / 3.0 MB",
                "  bbbbbbbbbbbb Downloading 2.0 kB",
                "  total 1.5 MB / 3.0 MB, 0 of 2 layers done",
            }),
            view.drawn());

  view(event("aaaaaaaaaaaaaaaa", "Pull complete", std::nullopt, std::nullopt));
  view(event("bbbbbbbbbbbb", "Extracting", 3, std::nullopt, "s"));
  EXPECT_EQ((std::vector<std::string>{
                "  aaaaaaaaaaaa Pull complete 3.0 MB / 3.0 MB",
                "  bbbbbbbbbbbb Extracting 3 s",
                "  total 3.0 MB / 3.0 MB, 1 of 2 layers done",
            }),
            view.drawn());

  // The end erases exactly what was drawn: back up three lines, clear below.
  view(docker::PullEvent{});
  EXPECT_TRUE(view.drawn().empty());
  const std::string text = out.str();
  const std::string erase = "\x1b[3F\x1b[J";
  ASSERT_GE(text.size(), erase.size());
  EXPECT_EQ(erase, text.substr(text.size() - erase.size()));
}

TEST(PullProgressView, ErrorMidStreamStillErases) {
  std::ostringstream out;
  SteppingClock clock;
  PullProgressView view(out, true, std::ref(clock));
  view(event("cccccccccccc", "Downloading", 10, 100));
  EXPECT_EQ(2u, view.drawn().size());
  // The client throws on the error line; the installer then ends the display.
  view(docker::PullEvent{});
  EXPECT_TRUE(view.drawn().empty());
  EXPECT_NE(std::string::npos, out.str().find("\x1b[2m")) << "layer lines are dimmed with colour";
  // A later pull starts from a clean slate.
  view(event("dddddddddddd", "Downloading", 5, 10));
  EXPECT_EQ((std::vector<std::string>{"  dddddddddddd Downloading 5 B / 10 B",
                                      "  total 5 B / 10 B, 0 of 1 layers done"}),
            view.drawn());
}

TEST(PullProgressView, AStreamWithoutByteCountsShowsLayersOnly) {
  std::ostringstream out;
  SteppingClock clock;
  PullProgressView view(out, false, std::ref(clock));
  view(event("ffffffffffff", "Copying blob"));
  view(event("aaaaaaaaaaaa", "Pull complete"));
  EXPECT_EQ((std::vector<std::string>{"  ffffffffffff Copying blob", "  aaaaaaaaaaaa Pull complete",
                                      "  total 1 of 2 layers done"}),
            view.drawn());
}

TEST(PullProgressView, RedrawsAreLimited) {
  std::ostringstream out;
  PullProgressView::Clock::time_point fixed{};
  PullProgressView view(out, false, [&] { return fixed; });
  view(event("eeeeeeeeeeee", "Downloading", 1, 100));
  std::string after_first = out.str();
  for (int i = 2; i < 50; ++i) view(event("eeeeeeeeeeee", "Downloading", i, 100));
  EXPECT_EQ(after_first, out.str()) << "no redraw within the interval";
  fixed += std::chrono::seconds(1);
  view(event("eeeeeeeeeeee", "Downloading", 60, 100));
  EXPECT_EQ("  eeeeeeeeeeee Downloading 60 B / 100 B", view.drawn().front());
}

}  // namespace
}  // namespace bootstrap::app
