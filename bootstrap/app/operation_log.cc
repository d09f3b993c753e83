#include "bootstrap/app/operation_log.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>
#include <streambuf>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "bootstrap/app/build_info.h"
#include "bootstrap/base/fd.h"
#include "bootstrap/base/text.h"
#include "bootstrap/base/utc_time.h"

namespace bootstrap::app {

namespace {

// "root", or "root (sudo from alice)" when sudo says who asked.
std::string user_description(const std::string& sudo_user) {
  std::string name = "uid " + std::to_string(::getuid());
  struct passwd entry {};
  struct passwd* found = nullptr;
  char buffer[1024];
  if (::getpwuid_r(::getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr)
    name = found->pw_name;
  if (!sudo_user.empty()) name += " (sudo from " + sudo_user + ")";
  return name;
}

std::string quoted_command_line(const std::vector<std::string>& words) {
  std::string line;
  for (const std::string& word : words) {
    if (!line.empty()) line += ' ';
    bool plain = !word.empty() && word.find_first_of(" \t\"'\\$") == std::string::npos;
    line += plain ? word : "'" + word + "'";
  }
  return line;
}

// A terminal line as it was last seen: what follows the last carriage return,
// without colour and cursor sequences, which only a terminal can show.
std::string as_seen(std::string_view raw) {
  std::size_t cr = raw.rfind('\r');
  if (cr != std::string_view::npos) raw.remove_prefix(cr + 1);
  std::string text;
  for (std::size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '\033' && i + 1 < raw.size() && raw[i + 1] == '[') {
      i += 2;
      while (i < raw.size() && !(raw[i] >= 0x40 && raw[i] <= 0x7e)) ++i;
      continue;
    }
    text += raw[i];
  }
  return text;
}

}  // namespace

OperationLog::OperationLog(Settings settings, const std::vector<std::string>& command_line)
    : settings_(std::move(settings)) {
  add("start", std::string(version_line()) + ": " + quoted_command_line(command_line) + " (user " +
                   user_description(settings_.sudo_user) + ", pid " + std::to_string(::getpid()) + ")");
}

OperationLog::~OperationLog() = default;

void OperationLog::open() {
  std::lock_guard<std::mutex> lock(mutex_);
  opened_ = true;
  const std::filesystem::path folder =
      settings_.file.parent_path().empty() ? "." : settings_.file.parent_path();
  std::error_code error;
  if (!std::filesystem::exists(folder, error)) {
    std::filesystem::create_directories(folder.parent_path(), error);
    // Operation records name the product's hosts and images: readable by
    // the administrators' group, not by everyone.
    if (::mkdir(folder.c_str(), 0750) != 0 && errno != EEXIST)
      return fail("create the folder of", std::strerror(errno));
  }
  try {
    folder_ = base::open_private_folder(folder);
  } catch (const std::runtime_error& e) {
    return fail("use the folder of", e.what());
  }
  if (!open_file()) return;
  struct stat info {};
  if (::fstat(file_.get(), &info) == 0) size_ = static_cast<std::uintmax_t>(info.st_size);
  std::vector<std::string> kept = std::move(pending_);
  pending_.clear();
  for (const std::string& entry : kept) write(entry);
}

bool OperationLog::open_file() {
  file_.reset(::openat(folder_.get(), settings_.file.filename().c_str(),
                       O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0640));
  if (!file_) {
    fail("open", base::open_error(errno));
    return false;
  }
  try {
    base::check_private_file(file_.get());
  } catch (const std::runtime_error& e) {
    fail("use", e.what());
    return false;
  }
  return true;
}

void OperationLog::open_unlocked() {
  may_rotate_ = false;
  open();
}

void OperationLog::printed(std::string_view stream, std::string_view line) { add(stream, line); }

void OperationLog::request_done(const std::string& line) { add("engine", line); }

void OperationLog::finish(int exit_status) { add("exit", "status " + std::to_string(exit_status)); }

void OperationLog::add(std::string_view kind, std::string_view text) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (failed_) return;
  std::string entry = base::utc_time_millis() + " " + std::string(kind) + " " + base::printable(text) + "\n";
  if (!opened_)
    pending_.push_back(std::move(entry));
  else
    write(entry);
}

void OperationLog::write(const std::string& entry) {
  if (failed_ || !file_) return;
  if (may_rotate_ && size_ > 0 && size_ + entry.size() > settings_.rotate_at) rotate();
  if (failed_) return;
  if (int error = base::write_all(file_.get(), entry); error != 0)
    return fail("write", std::strerror(error));
  size_ += entry.size();
}

void OperationLog::rotate() {
  file_.reset();
  // Within the folder checked at open(): a name swapped for a link since
  // then is renamed as a link, never followed.
  const std::string base = settings_.file.filename().string();
  constexpr int kKept = 3;
  for (int n = kKept - 1; n >= 1; --n) {
    std::string from = base + "." + std::to_string(n);
    std::string to = base + "." + std::to_string(n + 1);
    if (::renameat(folder_.get(), from.c_str(), folder_.get(), to.c_str()) != 0 && errno != ENOENT)
      return fail("rotate", std::strerror(errno));
  }
  if (::renameat(folder_.get(), base.c_str(), folder_.get(), (base + ".1").c_str()) != 0)
    return fail("rotate", std::strerror(errno));
  if (!open_file()) return;
  size_ = 0;
}

void OperationLog::fail(const std::string& what, const std::string& why) {
  failed_ = true;
  pending_.clear();
  file_.reset();
  folder_.reset();
  // Straight to the descriptor: the console streams may be feeding this very
  // log, and the warning must not come back into it.
  (void)base::write_all(STDERR_FILENO, "warning: cannot " + what + " the operation log " +
                                           base::printable(settings_.file.string()) + ": " + why +
                                           "; the operation goes on\n");
}

// Passes every character on to the stream's own buffer, and each complete
// line to the log.
class ConsoleCapture::Tee : public std::streambuf {
 public:
  Tee(std::ostream& stream, std::string_view name, OperationLog& log)
      : stream_(stream), original_(stream.rdbuf()), name_(name), log_(log) {
    stream_.rdbuf(this);
  }
  ~Tee() override {
    stream_.rdbuf(original_);
    if (!line_.empty()) log_.printed(name_, as_seen(line_));
  }

 protected:
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    take(traits_type::to_char_type(c));
    return original_->sputc(traits_type::to_char_type(c));
  }
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    for (std::streamsize i = 0; i < n; ++i) take(s[i]);
    return original_->sputn(s, n);
  }
  int sync() override { return original_->pubsync(); }

 private:
  void take(char c) {
    if (c != '\n') {
      line_ += c;
      return;
    }
    log_.printed(name_, as_seen(line_));
    line_.clear();
  }

  std::ostream& stream_;
  std::streambuf* original_;
  std::string name_;
  OperationLog& log_;
  std::string line_;
};

ConsoleCapture::ConsoleCapture(OperationLog& log)
    : out_(std::make_unique<Tee>(std::cout, "out", log)),
      err_(std::make_unique<Tee>(std::cerr, "err", log)) {}

ConsoleCapture::~ConsoleCapture() = default;

}  // namespace bootstrap::app
