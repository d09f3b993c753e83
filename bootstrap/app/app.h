// The command-line front end: parses the operator's command, runs one product
// operation, and maps its outcome to the exit status. It is the one place
// that catches errors and prints them.
//
// Exit statuses: 0 the operation completed; 1 it failed (the reason on one
// line of standard error); 2 the command line was wrong (nothing was changed);
// 130 interrupted by Ctrl-C.
#pragma once

namespace bootstrap::app {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitInterrupted = 130;

int main(int argc, char** argv);

}  // namespace bootstrap::app
