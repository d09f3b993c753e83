// Service descriptions: names and volume entries.
#include <stdexcept>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "bootstrap/installer/service.h"

namespace bootstrap::installer {
namespace {

using ::testing::HasSubstr;

TEST(Service, QualifiedNameJoinsApplicationAndShortName) {
  EXPECT_EQ("lumadex-es1", qualified_name("lumadex", "es1"));
  EXPECT_EQ("lumadex-temp-vol", qualified_name("lumadex", "temp-vol"));
  EXPECT_EQ("lumadex-", qualified_name("lumadex", ""));
}

TEST(Service, VolumeEntries) {
  {
    VolumeEntry e = parse_volume_entry("temp-vol:/temp-vol");
    EXPECT_EQ("temp-vol", e.source);
    EXPECT_EQ("/temp-vol", e.target);
    EXPECT_FALSE(e.is_host_path());
  }
  {
    VolumeEntry e = parse_volume_entry("/var/run/docker.sock:/var/run/docker.sock");
    EXPECT_EQ("/var/run/docker.sock", e.source);
    EXPECT_EQ("/var/run/docker.sock", e.target);
    EXPECT_TRUE(e.is_host_path());
  }
  {  // a third part (a mode word) is ignored
    VolumeEntry e = parse_volume_entry("es-data:/usr/share/elasticsearch/data:ro");
    EXPECT_EQ("es-data", e.source);
    EXPECT_EQ("/usr/share/elasticsearch/data", e.target);
  }
  {  // an empty source is not a host path
    VolumeEntry e = parse_volume_entry(":/data");
    EXPECT_EQ("", e.source);
    EXPECT_EQ("/data", e.target);
    EXPECT_FALSE(e.is_host_path());
  }
  {
    VolumeEntry e = parse_volume_entry("data:");
    EXPECT_EQ("data", e.source);
    EXPECT_EQ("", e.target);
  }
  {  // no ":" at all is refused, naming the entry
    try {
      parse_volume_entry("temp-vol");
      ADD_FAILURE() << "an entry without \":\" was accepted";
    } catch (const std::invalid_argument& e) {
      EXPECT_THAT(e.what(), HasSubstr("temp-vol"));
    }
  }
  // The source alone, as the volume step of a bring-up reads it.
  EXPECT_EQ("temp-vol", volume_source("temp-vol:/temp-vol"));
  EXPECT_EQ("/var/run/docker.sock", volume_source("/var/run/docker.sock:/x"));
  EXPECT_EQ("no-colon", volume_source("no-colon"));
  EXPECT_EQ("", volume_source(":/x"));
}

}  // namespace
}  // namespace bootstrap::installer
