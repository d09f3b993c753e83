// The rules every reader of the engine's JSON follows (engine_json.h), seen
// through both codecs: the container client's and the swarm one's.
#include <climits>

#include <gtest/gtest.h>

#include "bootstrap/docker/engine_json.h"
#include "bootstrap/docker/errors.h"
#include "bootstrap/docker/swarm_codec.h"

namespace bootstrap::docker {
namespace {

TEST(EngineJson, TimesHonourOffsetsAndReadTheZeroTimeAsZero) {
  const struct {
    const char* stamp;
    std::int64_t seconds;
  } cases[] = {
      {"2024-05-01T10:00:00Z", 1714557600},
      {"2024-05-01T10:00:00.123456789Z", 1714557600},
      {"2024-05-01T12:00:00+02:00", 1714557600},
      {"2024-05-01T05:30:00.5-04:30", 1714557600},
      {"0001-01-01T00:00:00Z", 0},
      {"yesterday", 0},
      {"", 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.seconds, engine_json::unix_time(c.stamp)) << c.stamp;
    // A task's state change is read by the same rule.
    const std::string tasks = std::string(R"([{"ID":"t","Status":{"Timestamp":")") + c.stamp + R"("}}])";
    EXPECT_EQ(c.seconds, read_tasks("list tasks", tasks).at(0).updated_at) << c.stamp;
  }
}

TEST(EngineJson, AGarbledCountIsAnErrorAndABigOneIsClamped) {
  // Absent counts read as 0; huge ones are clamped to the field's range.
  EXPECT_EQ(0, read_tasks("list tasks", R"([{"ID":"t"}])").at(0).slot);
  EXPECT_EQ(INT_MAX, read_tasks("list tasks", R"([{"ID":"t","Slot":1e300}])").at(0).slot);
  EXPECT_EQ(7u, read_service("inspect service", R"({"ID":"s","Version":{"Index":7.0}})").version);
  // A fraction or a non-number where a count is due is never read as 0.
  for (const char* garbled : {R"("3")", "1.5", "true", R"({"n":1})"}) {
    EXPECT_THROW(read_tasks("list tasks", std::string(R"([{"ID":"t","Slot":)") + garbled + "}]"),
                 MalformedAnswer)
        << garbled;
    EXPECT_THROW(read_service("inspect service",
                              std::string(R"({"ID":"s","Version":{"Index":)") + garbled + "}}"),
                 MalformedAnswer)
        << garbled;
  }
  try {
    read_tasks("list tasks", R"([{"ID":"t","Slot":1.5}])");
  } catch (const MalformedAnswer& e) {
    EXPECT_STREQ("list tasks: \"Slot\" is not a whole number: 1.5", e.what());
  }
  // Text that is not JSON, and a number JSON cannot hold, are both malformed.
  EXPECT_THROW(read_tasks("list tasks", "[{"), MalformedAnswer);
  EXPECT_THROW(read_tasks("list tasks", R"([{"Slot":1e999}])"), MalformedAnswer);
  EXPECT_THROW(read_tasks("list tasks", R"({"ID":"t"})"), EngineError);
}

}  // namespace
}  // namespace bootstrap::docker
