// The operation log as a file root writes: what goes into it, and where it
// refuses to go.
#include "bootstrap/app/operation_log.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/other_account.h"

namespace bootstrap::app {
namespace {

std::string contents(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Everything written to standard error while it lives.
class CapturedStderr {
 public:
  CapturedStderr() : file_(std::tmpfile()), saved_(::dup(STDERR_FILENO)) {
    ::dup2(::fileno(file_), STDERR_FILENO);
  }
  ~CapturedStderr() {
    ::dup2(saved_, STDERR_FILENO);
    ::close(saved_);
    std::fclose(file_);
  }
  std::string text() const {
    std::string out;
    std::rewind(file_);
    for (int c; (c = std::fgetc(file_)) != EOF;) out += static_cast<char>(c);
    return out;
  }

 private:
  std::FILE* file_;
  int saved_;
};

std::filesystem::path temp_dir() {
  char dir_template[] = "/tmp/kestro-oplog-XXXXXX";
  return ::mkdtemp(dir_template);
}

// A newline in an argument, and a terminal's title sequence in a printed
// line, stay inside their own lines.
TEST(OperationLog, TextFromOutsideCannotForgeALine) {
  const std::filesystem::path dir = temp_dir();
  OperationLog::Settings settings;
  settings.file = dir / "kestro" / "bootstrap.log";
  {
    OperationLog log(settings, {"bootstrap", "scale", "api\n2026-12-09T00:00:00.000Z exit status 0"});
    log.open();
    log.printed("out", "done\x1b]0;pwned\x07");
    log.finish(1);
  }
  std::istringstream lines(contents(settings.file));
  std::vector<std::string> record;
  for (std::string line; std::getline(lines, line);) record.push_back(line.substr(25));
  ASSERT_EQ(3u, record.size()) << contents(settings.file);
  EXPECT_NE(std::string::npos,
            record[0].find("bootstrap scale 'api\\n2026-12-09T00:00:00.000Z exit status 0'"))
      << record[0];
  EXPECT_EQ("out done\\x1b]0;pwned\\x07", record[1]);
  EXPECT_EQ("exit status 1", record[2]);
  std::filesystem::remove_all(dir);
}

// A log folder that nobody owns, with a link it planted to a file of root's;
// then the same link left in the folder once it is root's again. Each costs
// one warning, the operation's lines go nowhere, and the file stays as it
// was.
TEST(OperationLog, AFolderOrLinkOfAnotherAccountIsNotWritten) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another account";
  const std::filesystem::path dir = temp_dir();
  ASSERT_EQ(0, ::chmod(dir.c_str(), 0755));
  const std::filesystem::path victim = dir / "victim", folder = dir / "kestro";
  std::ofstream(victim) << "root's data\n";
  ASSERT_EQ(0, ::mkdir(folder.c_str(), 0755));
  ASSERT_EQ(0, ::chown(folder.c_str(), testing::kNobody, testing::kNobody));
  ASSERT_TRUE(testing::as_nobody(
      [&] { return ::symlink(victim.c_str(), (folder / "bootstrap.log").c_str()) == 0; }));

  OperationLog::Settings settings;
  settings.file = folder / "bootstrap.log";
  for (const std::string& warning :
       {"cannot use the folder of the operation log " + settings.file.string() +
            ": it belongs to uid 65534, not to root",
        "cannot open the operation log " + settings.file.string() +
            ": it is a symbolic link, which is not followed"}) {
    CapturedStderr err;
    OperationLog log(settings, {"bootstrap", "install"});
    log.open();
    log.printed("out", "installing lumadex");
    log.finish(0);
    EXPECT_EQ("warning: " + warning + "; the operation goes on\n", err.text());
    ASSERT_EQ(0, ::chown(folder.c_str(), 0, 0));
  }
  EXPECT_EQ("root's data\n", contents(victim));
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace bootstrap::app
