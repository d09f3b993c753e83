// OperationLog: the host's record of what the changing commands did.
//
// Every command that changes the host or the engine appends to one text file
// (/var/log/kestro/bootstrap.log): a header line with the time, the program's
// version, the command line and the user; every line the command prints; one
// line per engine request (through docker::LoggingTransport, so method,
// target, status and duration only); and the exit status. Each line starts
// with its UTC time; the word after it says what it is ("start", "out",
// "err", "engine", "exit"). The file is rotated when a line would take it past
// the size limit, keeping three old files (bootstrap.log.1, the newest, to
// .3).
//
// The record never costs the operation: a file that cannot be opened or
// written is reported once, as a warning on standard error, and the log is
// quiet from then on. Root writes it, so it is written only in a folder that
// belongs to root (or to the caller, for a run without root) and that
// neither group nor others may write, and never through a link: the file is
// opened and rotated relative to the folder's descriptor. Every line is
// escaped as base::printable escapes it, so text from the command line, the
// engine or a container cannot end a line early and forge the next. Lines given before open() are kept in memory and
// written by it, so that what a command prints while it waits for the host
// lock (and so may not yet write the shared file) is still recorded.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "bootstrap/base/fd.h"
#include "bootstrap/docker/logging_transport.h"

namespace bootstrap::app {

class OperationLog : public docker::RequestRecord {
 public:
  struct Settings {
    std::filesystem::path file = "/var/log/kestro/bootstrap.log";
    std::uintmax_t rotate_at = 10 * 1024 * 1024;  // bytes
    // The account that ran sudo, named in the header beside this process's
    // user; "" when none did.
    std::string sudo_user;
  };

  // Starts a record whose header names `command_line` and this process's
  // user. Writes nothing yet.
  OperationLog(Settings settings, const std::vector<std::string>& command_line);
  ~OperationLog() override;
  OperationLog(const OperationLog&) = delete;
  OperationLog& operator=(const OperationLog&) = delete;

  // Creates the folder (0750) and the file (0640) as needed and writes the
  // lines kept so far; later lines go straight to the file. A folder or
  // file that another account could have placed there is reported like one
  // that cannot be opened.
  void open();
  // The same for a command that does not hold the host lock: it appends but
  // never rotates, since the holder may be writing the file.
  void open_unlocked();
  // Records one printed line; `stream` is "out" or "err".
  void printed(std::string_view stream, std::string_view line);
  void request_done(const std::string& line) override;
  // Records the exit status; the last line of a command's record.
  void finish(int exit_status);
  // Where the record goes.
  const std::filesystem::path& file() const { return settings_.file; }
  // Whether the record is being written: opened, and no write has failed.
  bool written() const { return opened_ && !failed_; }

 private:
  void add(std::string_view kind, std::string_view text);
  void write(const std::string& entry);
  void rotate();
  // Opens the file in folder_; false after reporting why it cannot.
  bool open_file();
  void fail(const std::string& what, const std::string& why);

  Settings settings_;
  base::UniqueFd folder_;
  base::UniqueFd file_;
  bool opened_ = false;
  bool may_rotate_ = true;
  bool failed_ = false;
  std::uintmax_t size_ = 0;
  std::vector<std::string> pending_;
  // Engine requests in flight together (--jobs) report from their threads.
  std::mutex mutex_;
};

// While it lives, every line written to std::cout and std::cerr also goes to
// `log`, as well as to the console as before. Restores both streams when it
// ends, recording a last unfinished line.
class ConsoleCapture {
 public:
  explicit ConsoleCapture(OperationLog& log);
  ~ConsoleCapture();
  ConsoleCapture(const ConsoleCapture&) = delete;
  ConsoleCapture& operator=(const ConsoleCapture&) = delete;

 private:
  class Tee;
  std::unique_ptr<Tee> out_;
  std::unique_ptr<Tee> err_;
};

}  // namespace bootstrap::app
