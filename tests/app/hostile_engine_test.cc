// What an engine that answers nonsense does to the client, the pull display
// and the program: numbers beyond int64, numbers the JSON parser cannot hold,
// endless lines, control characters. Each case is the smallest answer that
// used to go wrong.
#include <chrono>
#include <limits>
#include <sstream>

#include <gtest/gtest.h>

#include "bootstrap/app/progress.h"
#include "bootstrap/app/status.h"
#include "tests/docker/fake_http_server.h"
#include "tests/docker/fake_transport.h"
#include "tests/support/run.h"

namespace bootstrap {
namespace {

using docker::testing::fake_client;
constexpr std::int64_t kInt64Max = std::numeric_limits<std::int64_t>::max();

TEST(HostileEngine, CountsBeyondTheirRangeAreClampedAndFractionsRefused) {
  struct Case {
    const char* body;
    int ncpu;
    std::int64_t mem_total;
  };
  const Case cases[] = {
      {R"({"NCPU":1e300,"MemTotal":8888888888888888888888})", std::numeric_limits<int>::max(),
       kInt64Max},
      // Narrowed to int this used to wrap to 8.
      {R"({"NCPU":4294967304,"MemTotal":18446744073709551615})",
       std::numeric_limits<int>::max(), kInt64Max},
      {R"({"NCPU":-4,"MemTotal":-1e300})", 0, 0},
      {R"({"NCPU":4.0,"MemTotal":null})", 4, 0},
  };
  for (const Case& c : cases) {
    auto [client, engine] = fake_client();
    engine->reply_json(200, c.body);
    docker::EngineInfo info = client->info();
    EXPECT_EQ(c.ncpu, info.ncpu) << c.body;
    EXPECT_EQ(c.mem_total, info.mem_total) << c.body;
  }
  for (const char* body : {R"({"NCPU":1.5})", R"({"NCPU":"8"})", R"({"MemTotal":true})"}) {
    auto [client, engine] = fake_client();
    engine->reply_json(200, body);
    try {
      client->info();
      ADD_FAILURE() << "accepted " << body;
    } catch (const docker::MalformedAnswer& e) {
      EXPECT_EQ(0u, std::string(e.what()).rfind("engine info: \"", 0)) << e.what();
    }
  }
}

TEST(HostileEngine, UnreadableNumbersAndEndlessLinesAreOurErrors) {
  {
    // The JSON library cannot hold 1e999; the answer is unreadable, said with context.
    auto [client, engine] = fake_client();
    engine->reply_json(200, R"({"State":{"Status":"running","Pid":1e999}})");
    try {
      client->inspect_container("c1");
      ADD_FAILURE() << "accepted 1e999";
    } catch (const docker::MalformedAnswer& e) {
      EXPECT_EQ(0u, std::string(e.what()).rfind("inspect container c1: ", 0)) << e.what();
    }
  }
  {
    // Progress figures beyond int64 are clamped; a fraction is left out.
    auto [client, engine] = fake_client();
    engine->reply_stream(
        "{\"id\":\"a\",\"status\":\"Downloading\",\"progressDetail\":{\"current\":1e19,"
        "\"total\":99999999999999999999}}\n"
        "{\"id\":\"b\",\"status\":\"Downloading\",\"progressDetail\":{\"current\":1.5,"
        "\"total\":1e999}}\n",
        {});
    std::vector<docker::PullEvent> events;
    client->pull_image("app", "1", [&](const docker::PullEvent& e) { events.push_back(e); });
    ASSERT_EQ(1u, events.size()) << "the line holding 1e999 is not JSON and is skipped";
    EXPECT_EQ(kInt64Max, events[0].current);
    EXPECT_EQ(kInt64Max, events[0].total);
  }
  {
    // A pull stream whose line never ends is refused at the limit.
    auto [client, engine] = fake_client();
    engine->reply_stream(std::string(docker::kMaxLineBytes + 1, 'x'), {1 << 20});
    try {
      client->pull_image("app", "1", nullptr);
      ADD_FAILURE() << "accepted an endless line";
    } catch (const docker::MalformedAnswer& e) {
      EXPECT_EQ(0u, std::string(e.what()).rfind("pull app:1: the engine sent a line of more", 0))
          << e.what();
    }
  }
  {
    // A long line in small slices is searched once: 64 MiB in 4 KiB slices
    // took most of a minute when every slice searched from the start again.
    std::size_t lines = 0;
    docker::LineSplitter splitter([&](std::string_view) { ++lines; }, std::size_t{1} << 30);
    const std::string slice(4096, 'x');
    auto started = std::chrono::steady_clock::now();
    for (int i = 0; i < (64 << 20) / 4096; ++i) splitter.feed(slice);
    splitter.feed("\n");
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
    EXPECT_EQ(1u, lines);
  }
}

TEST(HostileEngine, PullDisplaySaturatesAndEscapes) {
  std::ostringstream out;
  app::PullProgressView view(out, false, [] {
    static app::PullProgressView::Clock::time_point t{};
    return t += std::chrono::seconds(1);
  });
  view(docker::PullEvent{"a", "Downloading", kInt64Max, kInt64Max, ""});
  view(docker::PullEvent{"b\x1b[2J", "Down\rloading", 1, 2, ""});
  ASSERT_EQ(3u, view.drawn().size());
  EXPECT_EQ("  b\\x1b[2J Down\\rloading 1 B / 2 B", view.drawn()[1]);
  EXPECT_EQ("  total " + app::PullProgressView::human_bytes(kInt64Max) + " / " +
                app::PullProgressView::human_bytes(kInt64Max) + ", 0 of 2 layers done",
            view.drawn()[2]);
}

// The program against a fake engine on a unix socket: our error line, one
// line on standard error, with the engine's bytes escaped.
TEST(HostileEngine, StatusPrintsOurErrorLine) {
  docker::testing::FakeHttpServer server;
  const std::string json = "Content-Type: application/json\r\n";
  // status first asks whether the engine manages a swarm.
  server.reply(200, "OK", R"({"Swarm":{"LocalNodeState":"inactive"}})", json);
  server.reply(200, "OK",
               R"([{"Id":"c1","Names":["/lumadex-api"],"Image":"x","State":"running"}])", json);
  server.reply(200, "OK", "{\"Name\":\"\x1b]0;owned\x07\",\"Pid\":1e999}", json);
  testing::RunResult r =
      testing::run_program({testing::program_dir() + "/bootstrap", "status"},
                           {"DOCKER_HOST=unix://" + server.socket_path(), "DOCKER_API_VERSION=1.41"});
  EXPECT_EQ(1, r.status);
  ASSERT_EQ(1u, testing::lines_of(r.err).size()) << r.err;
  EXPECT_EQ(
      "error: status: inspect container c1: the engine's answer is not JSON: "
      "{\"Name\":\"\\x1b]0;owned\\x07\",\"Pid\":1e999}\n",
      r.err);
}

}  // namespace
}  // namespace bootstrap
