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

// A line as engine 20.10 sent it, docker-compose's labels and all.
const char* const kEngineLine =
    R"({"status":"kill","id":"c53c935459b5f0c6509a53913f43a9860f541399d1b834e8b26d45a1cfc22)"
    R"(ad3","from":"lmdx2/app","Type":"container","Action":"kill","Actor":{"ID":"c53c935459)"
    R"(b5f0c6509a53913f43a9860f541399d1b834e8b26d45a1cfc22ad3","Attributes":{"com.docker.co)"
    R"(mpose.config-hash":"0ce238c5033d570052099b96c3eeb711781ef6e5d109a2e45d84d125421ed627)"
    R"(","com.docker.compose.container-number":"1","com.docker.compose.oneoff":"False","com)"
    R"(.docker.compose.project":"lumadex","com.docker.compose.project.config_files":"build/)"
    R"(bench/lumadex-export.yml","com.docker.compose.project.working_dir":"/srv/kestro/buil)"
    R"(d/bench","com.docker.compose.service":"beater","com.docker.compose.version":"1.29.2")"
    R"(,"image":"lmdx2/app","name":"lumadex-beater","signal":"15"}},"scope":"local","time":)"
    R"(1796776869,"timeNano":1796776869393232486})";

TEST(BenchOutage, ReadsContainerEventsInTimeOrderAndSkipsTheRest) {
  std::vector<ContainerEvent> events =
      parse(event("container", "start", "lumadex-web", 1796776869999) +
            event("network", "connect", "es-net", 1796776869500) + "not json\n" + kEngineLine +
            "\n");
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].action, "kill");
  EXPECT_EQ(events[0].name, "lumadex-beater");
  EXPECT_EQ(events[0].time_ns, 1796776869393232486);
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
