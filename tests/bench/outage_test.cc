#include "bench/outage.h"

#include <gtest/gtest.h>

#include <sstream>

namespace kestro::bench {
namespace {

// One line as `docker events --format '{{json .}}'` prints it.
std::string event(const char* type, const char* action, const char* name, long long ms) {
  std::ostringstream line;
  line << R"({"status":")" << action << R"(","id":"0123abcd","from":"lmdx2/app","Type":")" << type
       << R"(","Action":")" << action
       << R"(","Actor":{"ID":"0123abcd","Attributes":{"image":"lmdx2/app","name":")" << name
       << R"("}},"scope":"local","time":1,"timeNano":)" << ms * 1000000 << "}\n";
  return line.str();
}

std::vector<ContainerEvent> parse(const std::string& text) {
  std::istringstream lines(text);
  return parse_container_events(lines);
}

TEST(BenchOutage, ReadsContainerEventsInTimeOrderAndSkipsTheRest) {
  std::vector<ContainerEvent> events = parse(
      event("container", "start", "lumadex-web", 300) + event("network", "connect", "es-net", 250) +
      "not json\n" + event("container", "kill", "lumadex-web", 200));
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].action, "kill");
  EXPECT_EQ(events[0].time_ns, 200'000'000);
  EXPECT_EQ(events[1].action, "start");
  EXPECT_EQ(events[1].name, "lumadex-web");
}

TEST(BenchOutage, WindowRunsFromTheFirstStopSignalToTheLastReturnAndEachNameHasItsOwn) {
  // web: SIGTERM, then SIGKILL at the end of the grace period (its outage
  // starts at the first), recreated under its name; api stopped later and
  // back sooner; a restart policy's start after the operation does not count.
  std::vector<ContainerEvent> events = parse(event("container", "kill", "lumadex-web", 1000) +
                                             event("container", "kill", "lumadex-web", 1500) +
                                             event("container", "die", "lumadex-web", 1600) +
                                             event("container", "kill", "lumadex-api", 1700) +
                                             event("container", "create", "lumadex-web", 2000) +
                                             event("container", "start", "lumadex-api", 2100) +
                                             event("container", "start", "lumadex-web", 4000) +
                                             event("container", "kill", "lumadex-cron", 4500) +
                                             event("container", "start", "lumadex-cron", 9000));
  std::optional<Outage> o = outage(events, 5'000'000'000);
  ASSERT_TRUE(o);
  EXPECT_DOUBLE_EQ(o->window_ms, 3000);
  EXPECT_EQ(o->containers, 2);
  EXPECT_DOUBLE_EQ(o->longest_ms, 3000);
  EXPECT_DOUBLE_EQ(o->mean_ms, (3000 + 400) / 2.0);
  EXPECT_EQ(o->not_back, std::vector<std::string>{"lumadex-cron"});

  // Starts of containers nobody stopped (a bring-up) are no outage.
  EXPECT_FALSE(outage(parse(event("container", "start", "lumadex-web", 100)), 5'000'000'000));
}

}  // namespace
}  // namespace kestro::bench
