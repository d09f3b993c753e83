// The command-line front end: parses the operator's command, runs one product
// operation, and maps its outcome to the exit status. It is the one place
// that catches errors and prints them.
//
// Every error is one line of standard error, "error: WHAT: WHY". A refused
// command line adds "see 'bootstrap COMMAND --help'" and, for a misspelt
// command, option or service, the nearest name that exists. A changing
// command first checks that the account can do what it will need (root, the
// engine's socket) and says what is missing instead of failing halfway.
//
// Exit statuses: 0 the operation completed; 1 it failed (or the account
// lacks a permission it needs); 2 the command line was wrong, or empty
// (nothing was changed); 130 interrupted by Ctrl-C, 143 by SIGTERM, 129 by
// SIGHUP (128 and the signal's number, as a shell reports a signal).
#pragma once

namespace bootstrap::app {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitSignalled = 128;
inline constexpr int kExitInterrupted = kExitSignalled + 2;  // SIGINT

int main(int argc, char** argv);

}  // namespace bootstrap::app
