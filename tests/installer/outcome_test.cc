// The line that ends a change, and how an interrupted one tells how far it got.
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "bootstrap/installer/outcome.h"

namespace bootstrap::installer {
namespace {

TEST(Outcome, OneLineSaysHowMuchRunsAndWhatChanged) {
  for (const auto& [outcome, line] : {
           std::tuple{Outcome{13, 13, 0, 7, 0, 0, 15.24}, "lumadex is up: 13 of 13 running; 7 recreated, 6 unchanged (15.2 s)"},
           std::tuple{Outcome{13, 13, 13, 0, 0, 0, 40}, "lumadex is up: 13 of 13 running; 13 created (40.0 s)"},
           std::tuple{Outcome{12, 13, 1, 0, 0, 0, 2}, "lumadex is partly up: 12 of 13 running; 1 created, 12 unchanged (2.0 s)"},
           std::tuple{Outcome{13, 13, 0, 0, 2, 0, 1.06}, "lumadex is up: 13 of 13 running; 2 removed, 13 unchanged (1.1 s)"},
           std::tuple{Outcome{13, 13, 8, 0, 0, 5, 25.2}, "lumadex is up: 13 of 13 running; 8 created, 5 started (25.2 s)"},
           std::tuple{Outcome{0, 0, 0, 0, 0, 0, 0}, "lumadex is down: 0 of 0 running (0.0 s)"},
       })
    EXPECT_EQ(line, describe_outcome("lumadex", outcome));

  for (const auto& [removal, line] : {
           std::tuple{Removal{13, 4, 5, 2.1}, "lumadex is uninstalled: 13 containers, 4 networks and 5 volumes removed (2.1 s)"},
           std::tuple{Removal{1, 0, 1, 0.3}, "lumadex is uninstalled: 1 container and 1 volume removed (0.3 s)"},
           std::tuple{Removal{0, 0, 0, 0.1}, "lumadex is not installed: nothing was removed (0.1 s)"},
       })
    EXPECT_EQ(line, describe_removal("lumadex", removal));

  EXPECT_EQ("lumadex is partly up on the swarm: 12 of 13 services running; 3 changed, 10 unchanged (12.3 s)",
            describe_swarm_outcome("lumadex", 12, 13, 3, 12.34));
  EXPECT_EQ("lumadex is uninstalled from the swarm: 13 services removed (4.2 s)",
            describe_swarm_removal("lumadex", 13, 4.2));

  EXPECT_STREQ("after 5 of 38 steps; the product is partly up: run 'bootstrap install' to finish",
               Unfinished(5, 38, Unfinished::Left::partly_up).what());
  EXPECT_STREQ("after 20 of 55 steps; the product is down: run 'bootstrap install' to bring it back",
               Unfinished(20, 55, Unfinished::Left::down).what());
  EXPECT_STREQ(
      "after 3 of 9 steps; the product runs partly on the new version: run 'bootstrap update "
      "--in-place' to finish",
      Unfinished(3, 9, Unfinished::Left::partly_moved).what());
  EXPECT_STREQ("before anything was changed", Unfinished(0, 55, Unfinished::Left::down).what());
}

}  // namespace
}  // namespace bootstrap::installer
