// The kernel's vm.max_map_count: reading it, raising it for the running
// system, and making it persistent in the settings file.

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include "bootstrap/base/text.h"
#include "bootstrap/base/utf8.h"
#include "bootstrap/host/map_count.h"
#include "bootstrap/util/util.h"

namespace bootstrap::host {
namespace {

constexpr std::string_view kSettingName = "vm.max_map_count";

// The value of the settings file's last line that sets the map count, which
// is the one in force after the next boot; nullopt when no line sets it, 0
// when that line's value is not a number. Only a line that starts with the
// name at its very first character, followed by "=" (blanks around it
// allowed), sets it; comment lines never do.
std::optional<long> last_setting(std::string_view content) {
  std::optional<long> found;
  while (!content.empty()) {
    std::size_t end = content.find('\n');
    std::string_view line = content.substr(0, end);
    content = end == std::string_view::npos ? std::string_view() : content.substr(end + 1);
    if (!line.starts_with(kSettingName)) continue;
    std::string_view rest = line.substr(kSettingName.size());
    rest.remove_prefix(std::min(rest.find_first_not_of(" \t"), rest.size()));
    if (!rest.starts_with('=')) continue;
    std::string_view text = base::trim(rest.substr(1));
    long value = 0;
    auto [stop, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    found = error == std::errc() && stop == text.data() + text.size() ? value : 0;
  }
  return found;
}

}  // namespace

long max_map_count(Host& host) {
  try {
    // `sysctl vm.max_map_count` prints "vm.max_map_count = 65530"; the exit
    // status is not looked at, only what the output says.
    ProcessRunner::Result result = host.process.run("sysctl", {std::string(kSettingName)});
    std::string_view output = result.output;
    if (!base::is_valid_utf8(output)) return 0;
    std::size_t equals = output.find('=');
    if (equals == std::string_view::npos) return 0;
    std::string_view piece = output.substr(equals + 1);
    piece = base::trim(piece.substr(0, piece.find('=')));
    if (piece.starts_with('+')) piece.remove_prefix(1);
    long value = 0;
    auto [end, error] = std::from_chars(piece.data(), piece.data() + piece.size(), value);
    if (piece.empty() || error != std::errc() || end != piece.data() + piece.size()) return 0;
    return value;
  } catch (...) {
    return 0;
  }
}

std::string check_vm_max_map_count(Host& host) {
  if (host.system.platform_name() != "linux") return {};

  // The file is looked at before anything changes, so an unreadable file
  // stops us with nothing done. A missing one is simply created below.
  const std::filesystem::path& path = host.sysctl_conf;
  std::optional<std::string> content = host.files.read_if_present(path);
  // A low value of the operator's stays where it is; a line of ours after it
  // overrides it at boot.
  const std::optional<long> last = content ? last_setting(*content) : std::nullopt;
  const bool found = last && *last >= kMaxMapCountThreshold;
  // A describing runner changes nothing, so nothing may be said to be
  // applied.
  const bool dry_run = !host.shell.changes_host();

  const base::Console& console = host.console;
  auto coloured = [&console](const std::string& text, const std::string& foreground) {
    util::Util::cprint(text, foreground, console.terminal.colour, console.out);
  };

  std::string failure;
  const long in_force = max_map_count(host);
  if (in_force < kMaxMapCountThreshold) {
    coloured("vm.max_map_count<262144", "yellow");
    host.console.say(std::string(dry_run ? "would apply" : "applying") +
                     " vm.max_map_count=262144");
    // Root sets the value itself: a root shell on a fresh host has no sudo,
    // and going through a shell or sudo gains nothing there. A refused
    // sysctl (no sudo, no right to write the setting) is returned, not
    // hidden: the search nodes cannot start without the value.
    std::string program = "sysctl";
    std::vector<std::string> args = {
        "-w", std::string(kSettingName) + "=" + std::to_string(kMaxMapCountThreshold)};
    if (!host.system.is_root()) {
      args.insert(args.begin(), program);
      program = "sudo";
    }
    const std::string command = program + " " + base::join(args, " ");
    try {
      const int status = host.shell.run_program(program, args);
      if (status != 0)
        failure = "`" + command + "` exited with status " + std::to_string(status);
    } catch (const HostError& e) {
      failure = e.what();
    }
    if (failure.empty() && !dry_run) coloured("applied vm.max_map_count setting", "green");
  }

  if (!found) {
    // Persist what is in force when that is higher than our minimum: writing
    // the minimum would lower the value at the next boot.
    const long persistent = std::max(kMaxMapCountThreshold, in_force);
    const std::string setting = std::string(kSettingName) + "=" + std::to_string(persistent);
    host.console.say((dry_run ? "would make persistent " : "making persistent ") + setting);
    // An unterminated last line would otherwise run into ours.
    const bool needs_break = content && !content->empty() && content->back() != '\n';
    // A missing file is created readable by all, like the rest of /etc.
    host.files.append(path, (needs_break ? "\n" : "") + setting + "\n",
                      content ? std::nullopt : std::optional<unsigned>(0644));
    if (!dry_run) coloured("applied persistent vm.max_map_count setting", "green");
  }
  return failure;
}

}  // namespace bootstrap::host
