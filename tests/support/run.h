// Runs one of our programs as an operator would, for tests of whole
// programs: exit status, standard output and standard error.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace bootstrap::testing {

struct RunResult {
  int status = -1;  // exit status, or 128+N when killed by signal N
  std::string out;
  std::string err;
};

// Runs argv[0] (a path) with the given arguments and the current environment
// changed by `env` ("NAME=value" sets, "NAME" alone unsets). Standard input is
// /dev/null. Fails the calling test when the program cannot be started.
RunResult run_program(const std::vector<std::string>& argv,
                      const std::vector<std::string>& env = {});

// The folder that holds our built programs (build/bin).
std::string program_dir();

// The lines of a text, without their line breaks.
std::vector<std::string> lines_of(const std::string& text);

}  // namespace bootstrap::testing
