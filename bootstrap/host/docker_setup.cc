// Docker presence and installation on an Ubuntu host.

#include "bootstrap/host/docker_setup.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string_view>

#include "bootstrap/base/text.h"
#include "bootstrap/base/utf8.h"

namespace bootstrap::host {
namespace {

// What `docker --version` begins with when the program is there.
constexpr std::string_view kDockerBanner = "Docker version ";

// On a machine's first boot the automatic upgrades hold the package lock for
// minutes; apt then fails at once unless told to wait for it.
constexpr int kAptLockSeconds = 300;
const std::string kAptLockWait = "-o DPkg::Lock::Timeout=" + std::to_string(kAptLockSeconds);

// Whether `word` can go into a command line unquoted, and inside the double
// quotes of the repository line, without the shell or apt reading anything
// into it. Everything we splice into the commands comes from the host, so it
// is checked rather than trusted.
bool is_plain_word(std::string_view word) {
  if (word.empty()) return false;
  for (char c : word) {
    bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                 c == '.' || c == '_' || c == '-' || c == '+' || c == '/';
    if (!plain) return false;
  }
  return true;
}

// The value of a shell-style assignment as os-release writes it: bare,
// 'single-quoted' (literal), or "double-quoted" (with \" \\ \$ \` escapes).
std::string unquote(std::string_view value) {
  if (value.size() >= 2 && value.front() == '\'' && value.back() == '\'')
    return std::string(value.substr(1, value.size() - 2));
  if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
    std::string_view inner = value.substr(1, value.size() - 2);
    std::string out;
    for (std::size_t i = 0; i < inner.size(); ++i) {
      if (inner[i] == '\\' && i + 1 < inner.size() &&
          std::string_view("\"\\$`").find(inner[i + 1]) != std::string_view::npos)
        ++i;
      out += inner[i];
    }
    return out;
  }
  return std::string(value);
}

// The value assigned to `key` in os-release text (the last assignment wins,
// as when the file is sourced); nullopt when there is none or it is empty.
std::optional<std::string> os_release_value(std::string_view text, std::string_view key) {
  std::optional<std::string> found;
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    std::string_view line = base::trim(text.substr(0, end));
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (line.empty() || line.front() == '#') continue;
    std::size_t equals = line.find('=');
    if (equals == std::string_view::npos || base::trim(line.substr(0, equals)) != key) continue;
    found = unquote(base::trim(line.substr(equals + 1)));
  }
  if (found && found->empty()) return std::nullopt;
  return found;
}

std::string release_codename(Host& host) {
  std::optional<std::string> text = host.files.read_if_present(host.os_release);
  if (!text)
    throw HostError("cannot read " + host.os_release.string() + ": " + std::strerror(ENOENT));
  std::optional<std::string> codename = os_release_value(*text, "UBUNTU_CODENAME");
  if (!codename) codename = os_release_value(*text, "VERSION_CODENAME");
  if (!codename)
    throw HostError("no release codename (UBUNTU_CODENAME or VERSION_CODENAME) in " +
                          host.os_release.string());
  if (!is_plain_word(*codename))
    throw HostError("unexpected release codename in " + host.os_release.string() + ": " +
                          *codename);
  return *codename;
}

std::string package_architecture(Host& host) {
  ProcessRunner::Result result = host.process.run("dpkg", {"--print-architecture"});
  if (result.exit_status != 0)
    throw HostError("dpkg --print-architecture exited with status " +
                          std::to_string(result.exit_status));
  std::string architecture(base::trim(result.output));
  if (!is_plain_word(architecture))
    throw HostError("dpkg --print-architecture gave no architecture: \"" + architecture + "\"");
  return architecture;
}

// The downloaded key, before its fingerprint is checked. apt reads keys only
// from the files its sources name, so this name is never trusted.
std::filesystem::path key_download(Host& host) {
  return host.apt_keyrings / "docker.asc.download";
}

// "9DC858229FC7..." as Docker prints it: "9DC8 5822 9FC7 ...".
std::string spaced(std::string_view fingerprint) {
  std::string out;
  for (std::size_t i = 0; i < fingerprint.size(); i += 4)
    out += (i == 0 ? "" : " ") + std::string(fingerprint.substr(i, 4));
  return out;
}

// Field `index` (from 0) of a record of gpg's colon listing, or "".
std::string colon_field(std::string_view record, std::size_t index) {
  for (; index > 0; --index) {
    std::size_t colon = record.find(':');
    if (colon == std::string_view::npos) return {};
    record.remove_prefix(colon + 1);
  }
  return std::string(record.substr(0, record.find(':')));
}

// Why the key file is not Docker's key alone, or "" when it is. apt trusts
// every key in a signed-by file, so a second key beside Docker's is refused
// as much as another key in its place.
std::string key_problem(Host& host, const std::filesystem::path& key) {
  ProcessRunner::Result result;
  try {
    // No options file, keyring or trust database: looking at the key must
    // not create ~/.gnupg for root.
    result = host.process.run("gpg", {"--batch", "--no-options", "--no-keyring", "--trust-model",
                                      "always", "--with-colons", "--show-keys", key.string()});
  } catch (const HostError& e) {
    return e.what();
  }
  if (result.exit_status != 0)
    return "gpg --show-keys exited with status " + std::to_string(result.exit_status);
  // A "pub" record is a primary key; the "fpr" record after it is its
  // fingerprint (those after "sub" records belong to its subkeys).
  std::vector<std::string> primaries;
  bool primary_next = false;
  for (const std::string& line : base::split_lines(result.output)) {
    const std::string type = colon_field(line, 0);
    if (type == "pub") {
      primaries.emplace_back();
      primary_next = true;
    } else if (type == "fpr" && primary_next) {
      primaries.back() = colon_field(line, 9);
      primary_next = false;
    } else if (type == "sub") {
      primary_next = false;
    }
  }
  if (primaries.empty()) return "it holds no public key";
  for (const std::string& fingerprint : primaries)
    if (fingerprint != kDockerKeyFingerprint)
      return "it holds the key " + spaced(base::printable(fingerprint)) + ", not Docker's " +
             spaced(kDockerKeyFingerprint);
  return {};
}

}  // namespace

std::vector<std::string> docker_install_commands(Host& host) {
  const std::string codename = release_codename(host);
  const std::string architecture = package_architecture(host);
  const std::string keyrings = host.apt_keyrings.string();
  const std::string key = (host.apt_keyrings / "docker.asc").string();
  const std::string download = key_download(host).string();
  if (!is_plain_word(key)) throw HostError("unexpected keyring path: " + key);

  return {
      "apt-get " + kAptLockWait + " update",
      // gnupg shows the downloaded key's fingerprint.
      "apt " + kAptLockWait +
          " install apt-transport-https ca-certificates curl gnupg software-properties-common -y",
      // Written to a file rather than piped, so a failed download fails the
      // command.
      "install -m 0755 -d " + keyrings + " && curl -fsSL " + kDockerRepositoryKey + " -o " +
          download,
      // apt reads keys only from files everyone can read.
      "chmod a+r " + download + " && mv -f " + download + " " + key,
      "add-apt-repository \"deb [arch=" + architecture + " signed-by=" + key + "] " +
          kDockerRepository + " " + codename + " stable\"",
      "apt-get " + kAptLockWait + " install docker-ce docker-ce-cli containerd.io -y",
      "apt " + kAptLockWait + " install docker-compose -y",
  };
}

bool is_docker_installed(Host& host) {
  try {
    ProcessRunner::Result result = host.process.run("docker", {"--version"});
    // The exit status is deliberately not looked at: only the banner counts.
    return base::is_valid_utf8(result.output) && result.output.starts_with(kDockerBanner);
  } catch (...) {
    return false;
  }
}

bool docker_install_needed(Host& host, bool engine_answers, bool default_socket) {
  return !engine_answers && default_socket && !is_docker_installed(host);
}

void install_docker(Host& host) {
  // Checked before os-release and dpkg are looked at: neither exists off Linux.
  const std::string platform = host.system.platform_name();
  if (platform != "linux")
    throw std::runtime_error("cannot install docker for " + platform + " platform");

  const std::vector<std::string> commands = docker_install_commands(host);
  host.console.say("waiting up to " + std::to_string(kAptLockSeconds) +
                   " s for other package managers (apt lock)");
  constexpr std::size_t kKeyDownloaded = 2;  // the index of the download command
  for (std::size_t i = 0; i < commands.size(); ++i) {
    int status = host.shell.run(commands[i]);
    if (status != 0)
      throw HostError("docker installation failed: `" + commands[i] + "` exited with status " +
                            std::to_string(status));
    if (i != kKeyDownloaded) continue;
    if (!host.shell.changes_host()) {
      // Nothing was downloaded to look at.
      host.console.say("would check that the key's fingerprint is " +
                       spaced(kDockerKeyFingerprint));
      continue;
    }
    const std::string problem = key_problem(host, key_download(host));
    if (problem.empty()) continue;
    host.shell.run("rm -f " + key_download(host).string());
    throw HostError("docker installation failed: the key from " +
                    std::string(kDockerRepositoryKey) + " is refused: " + problem);
  }
}

void docker_setup_probe(Host& host) {
  for (const std::string& fact : {host.system.os_family(), host.system.system_name(),
                                  host.system.kernel_release(), host.system.platform_name()})
    host.console.say(fact);
  install_docker(host);
}

}  // namespace bootstrap::host
