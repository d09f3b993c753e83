#include "tests/support/run.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "bootstrap/base/text.h"

extern char** environ;

namespace bootstrap::testing {

namespace {

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

std::string program_dir() { return KESTRO_PROGRAM_DIR; }

std::vector<std::string> lines_of(const std::string& text) { return base::split_lines(text); }

RunResult run_program(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
  std::vector<std::string> environment;
  for (char** e = environ; *e; ++e) environment.emplace_back(*e);
  for (const std::string& change : env) {
    std::string name = change.substr(0, change.find('='));
    std::erase_if(environment, [&](const std::string& v) {
      return v.compare(0, name.size() + 1, name + "=") == 0;
    });
    if (change.find('=') != std::string::npos) environment.push_back(change);
  }

  char dir_template[] = "/tmp/kestro-run-XXXXXX";
  const char* dir = mkdtemp(dir_template);
  if (!dir) {
    ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
    return {};
  }
  std::string out_path = std::string(dir) + "/out", err_path = std::string(dir) + "/err";

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);

  std::vector<char*> args, envp;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  for (const std::string& e : environment) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);

  RunResult result;
  pid_t pid = 0;
  int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    ADD_FAILURE() << "cannot start " << argv[0] << ": " << std::strerror(rc);
  } else {
    int wstatus = 0;
    while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
    }
    result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    result.out = slurp(out_path);
    result.err = slurp(err_path);
  }
  std::remove(out_path.c_str());
  std::remove(err_path.c_str());
  rmdir(dir);
  return result;
}

}  // namespace bootstrap::testing
