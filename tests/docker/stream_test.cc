// Cutting streamed bodies into lines, reading an image pull's progress
// stream to its end, and demultiplexing a container's log.
#include <gtest/gtest.h>

#include "bootstrap/docker/log_demuxer.h"
#include "tests/docker/fake_transport.h"

namespace bootstrap::docker {
namespace {

using testing::fake_client;

std::vector<std::string> split_in_slices(const std::string& text, std::size_t slice) {
  std::vector<std::string> lines;
  LineSplitter splitter([&lines](std::string_view line) { lines.emplace_back(line); });
  for (std::size_t i = 0; i < text.size(); i += slice)
    splitter.feed(std::string_view(text).substr(i, slice));
  splitter.finish();
  return lines;
}

TEST(LineSplitterTest, AnySliceGivesTheSameLines) {
  const std::string text = "{\"a\":1}\r\n\r\n{\"b\":2}\n  \n{\"c\":3}\r\nlast";
  const std::vector<std::string> expected = {"{\"a\":1}", "{\"b\":2}", "{\"c\":3}", "last"};
  for (std::size_t slice = 1; slice <= text.size(); ++slice)
    EXPECT_EQ(split_in_slices(text, slice), expected) << "slices of " << slice;
}

TEST(LineSplitterTest, Endings) {
  {
    // "\r\n" cut between its two bytes.
    std::vector<std::string> lines;
    LineSplitter splitter([&lines](std::string_view line) { lines.emplace_back(line); });
    splitter.feed("one\r");
    EXPECT_TRUE(lines.empty());
    splitter.feed("\ntwo");
    EXPECT_EQ(lines, std::vector<std::string>{"one"});
    splitter.finish();
    EXPECT_EQ(lines, (std::vector<std::string>{"one", "two"}));
  }
  {
    // A final line without newline but with "\r", and finish() on nothing.
    EXPECT_EQ(split_in_slices("x\ny\r", 100), (std::vector<std::string>{"x", "y"}));
    EXPECT_TRUE(split_in_slices("", 1).empty());
    EXPECT_TRUE(split_in_slices("\r\n\n\r\n", 1).empty());
  }
  {
    // A "\r" inside a line stays.
    EXPECT_EQ(split_in_slices("a\rb\n", 2), std::vector<std::string>{"a\rb"});
  }
  {
    // Nothing is handed over twice, even when feeds and finish() alternate.
    std::vector<std::string> lines;
    LineSplitter splitter([&lines](std::string_view line) { lines.emplace_back(line); });
    splitter.feed("a\nb");
    splitter.finish();
    splitter.finish();
    splitter.feed("c\n");
    EXPECT_EQ(lines, (std::vector<std::string>{"a", "b", "c"}));
  }
}

const char* const kPullStream =
    "{\"status\":\"Pulling from library/redis\",\"id\":\"6.0.4\"}\r\n"
    "{\"status\":\"Pulling fs layer\",\"progressDetail\":{},\"id\":\"8559a31e96f4\"}\r\n"
    "{\"status\":\"Downloading\",\"progressDetail\":{\"current\":1048576,\"total\":27098756},"
    "\"progress\":\"[=>    ]\",\"id\":\"8559a31e96f4\"}\r\n"
    "{\"status\":\"Extracting\",\"progressDetail\":{\"current\":3,\"units\":\"s\"},\"id\":"
    "\"8559a31e96f4\"}\r\n"
    "{\"status\":\"Pull "
    "complete\",\"progressDetail\":{\"hidecounts\":true},\"id\":\"8559a31e96f4\"}\r\n"
    "{\"status\":\"Digest: "
    "sha256:800f2587bf3376cb01e6307afe599ddce9439deafbd4fb8562829da96085c9c5\"}\r\n"
    "{\"status\":\"Status: Downloaded newer image for redis:6.0.4\"}";  // no final newline

TEST(PullStreamTest, EveryLineReachesTheCallback) {
  for (std::vector<std::size_t> slices :
       {std::vector<std::size_t>{}, {1, 1, 1, 7, 13}, {53, 1, 2, 3, 200}, {90, 91, 92}}) {
    auto [client, engine] = fake_client();
    engine->reply_stream(kPullStream, slices);
    std::vector<PullEvent> events;
    client->pull_image("redis", "6.0.4", [&events](const PullEvent& e) { events.push_back(e); });
    ASSERT_EQ(events.size(), 7u);
    EXPECT_EQ(events[0].id, "6.0.4");
    EXPECT_EQ(events[0].status, "Pulling from library/redis");
    EXPECT_FALSE(events[1].current);
    EXPECT_FALSE(events[1].total);
    EXPECT_EQ(events[2].status, "Downloading");
    EXPECT_EQ(events[2].current, 1048576);
    EXPECT_EQ(events[2].total, 27098756);
    EXPECT_EQ(events[2].units, "");
    EXPECT_EQ(events[3].current, 3);
    EXPECT_FALSE(events[3].total);
    EXPECT_EQ(events[3].units, "s");
    EXPECT_EQ(events[6].status, "Status: Downloaded newer image for redis:6.0.4");
    EXPECT_EQ(events[6].id, "");
  }
}

TEST(PullStreamTest, ErrorObjectsEndThePullInFailure) {
  {
    // Split in the middle of the error object; its code is the status.
    std::string stream =
        std::string("{\"status\":\"Pulling from lmdx2/app\",\"id\":\"latest\"}\r\n") +
        "{\"errorDetail\":{\"code\":401,\"message\":\"authentication required\"},"
        "\"error\":\"authentication required\"}\r\n";
    auto [client, engine] = fake_client();
    engine->reply_stream(stream, {60, 17, 5});
    std::size_t events = 0;
    try {
      client->pull_image("lmdx2/app", "", [&events](const PullEvent&) { ++events; });
      ADD_FAILURE() << "no error";
    } catch (const ApiError& e) {
      EXPECT_EQ(e.status(), 401);
      EXPECT_EQ(e.message(), "authentication required");
      EXPECT_STREQ(e.what(), "pull lmdx2/app:latest: 401: authentication required");
    }
    EXPECT_EQ(events, 1u);
  }
  {
    // Without a usable code: 500; the legacy "error" string alone is enough.
    for (const char* line :
         {"{\"errorDetail\":{\"message\":\"read: connection reset\"}}",
          "{\"error\":\"read: connection reset\"}",
          "{\"errorDetail\":{\"code\":0,\"message\":\"read: connection reset\"},\"error\":\"x\"}",
          "{\"errorDetail\":{\"code\":\"401\"},\"error\":\"read: connection reset\"}"}) {
      auto [client, engine] = fake_client();
      engine->reply_stream(std::string("{\"status\":\"Downloading\"}\n") + line, {3});
      try {
        client->pull_image("app", "sha256:0123", nullptr);
        ADD_FAILURE() << "no error for " << line;
      } catch (const ApiError& e) {
        EXPECT_EQ(e.status(), 500) << line;
        EXPECT_EQ(e.message(), "read: connection reset") << line;
        EXPECT_EQ(std::string(e.what()).rfind("pull app@sha256:0123: 500: ", 0), 0u) << e.what();
      }
    }
  }
  {
    // Refused before streaming: an ordinary error answer.
    auto [client, engine] = fake_client();
    engine->reply_json(500, R"({"message":"Get \"https://registry/v2/\": unauthorized"})");
    try {
      client->pull_image("lmdx2/app", "1.0", nullptr);
      ADD_FAILURE() << "no error";
    } catch (const ApiError& e) {
      EXPECT_EQ(e.status(), 500);
      EXPECT_EQ(e.message(), "Get \"https://registry/v2/\": unauthorized");
    }
  }
  {
    // Lines that are not JSON objects are passed over.
    auto [client, engine] = fake_client();
    engine->reply_stream("garbage\n[1,2]\n{\"status\":\"ok\"}\n", {});
    std::vector<std::string> statuses;
    client->pull_image("app", "1",
                       [&statuses](const PullEvent& e) { statuses.push_back(e.status); });
    EXPECT_EQ(statuses, std::vector<std::string>{"ok"});
  }
}

// A frame of the engine's multiplexed log stream: stream 1 stdout, 2 stderr.
std::string frame(char stream, const std::string& payload) {
  std::string header = {stream, 0, 0, 0};
  for (int shift : {24, 16, 8, 0}) header += static_cast<char>((payload.size() >> shift) & 0xff);
  return header + payload;
}

using LogLines = std::vector<std::pair<LogStream, std::string>>;

TEST(ContainerLogTest, FramesAndRawStreamsInAnySlices) {
  // A line split over two frames, stderr between its halves, "\r\n", a last
  // line without an ending and an empty line.
  const std::string framed = frame(1, "one\r\ntw") + frame(2, "err 1\n") + frame(1, "o\n\n") +
                             frame(2, "err 2") + frame(1, "last");
  const LogLines expected = {{LogStream::kStdout, "one"},   {LogStream::kStderr, "err 1"},
                             {LogStream::kStdout, "two"},   {LogStream::kStdout, ""},
                             {LogStream::kStdout, "last"},  {LogStream::kStderr, "err 2"}};
  for (std::size_t slice = 1; slice <= framed.size(); ++slice) {
    auto [client, engine] = fake_client();
    engine->reply_json(200, R"({"Config":{"Tty":false}})");
    engine->reply_stream(framed, std::vector<std::size_t>(framed.size(), slice));
    LogLines lines;
    client->container_logs("lumadex-api", LogOptions{3, 1700000000, true, true},
                           [&lines](LogStream s, std::string_view l) { lines.emplace_back(s, l); });
    ASSERT_EQ(lines, expected) << "slices of " << slice;
    EXPECT_EQ(engine->requests[1].target,
              "/v1.41/containers/lumadex-api/logs?stdout=1&stderr=1&tail=3&since=1700000000"
              "&follow=1&timestamps=1");
  }
  {
    // A container with a terminal sends its output raw, bytes that look like
    // a frame header included.
    auto [client, engine] = fake_client();
    engine->reply_json(200, R"({"Config":{"Tty":true}})");
    engine->reply_stream(std::string("\x01\x00 up\r\nready", 12), {3, 4});
    LogLines lines;
    client->container_logs("lumadex-web", LogOptions{},
                           [&lines](LogStream s, std::string_view l) { lines.emplace_back(s, l); });
    EXPECT_EQ(lines, (LogLines{{LogStream::kStdout, std::string("\x01\x00 up", 5)},
                               {LogStream::kStdout, "ready"}}));
    EXPECT_EQ(engine->requests[1].target,
              "/v1.41/containers/lumadex-web/logs?stdout=1&stderr=1&tail=all");
  }
  {
    // Output that never ends its line is handed over in bounded pieces.
    LogLines lines;
    LogDemuxer demuxer(true, [&lines](LogStream s, std::string_view l) { lines.emplace_back(s, l); });
    demuxer.feed(std::string(kMaxLineBytes - 1, 'a'));
    demuxer.feed("b");
    demuxer.feed("c\n");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].second.size(), kMaxLineBytes);
    EXPECT_EQ(lines[0].second.substr(kMaxLineBytes - 2), "ab");
    EXPECT_EQ(lines[1].second, "c");
  }
  {
    // A header naming no known stream is corruption, not output.
    auto [client, engine] = fake_client();
    engine->reply_json(200, R"({"Config":{"Tty":false}})");
    engine->reply_stream(frame(7, "x\n"), {});
    EXPECT_THROW(client->container_logs("lumadex-api", LogOptions{}, [](LogStream, std::string_view) {}),
                 EngineError);
  }
}

}  // namespace
}  // namespace bootstrap::docker
