#include "bootstrap/docker/config.h"

#include <charconv>
#include <cstdlib>
#include <string_view>

#include "bootstrap/docker/api_version.h"
#include "bootstrap/docker/errors.h"

namespace bootstrap::docker {

namespace {

constexpr const char* kDefaultHost = "unix:///var/run/docker.sock";
// sockaddr_un::sun_path holds 108 bytes including the terminating NUL.
constexpr std::size_t kMaxSocketPath = 107;

std::optional<int> parse_number(std::string_view text) {
  int value = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end) return std::nullopt;
  return value;
}

ConfigError bad_host(const std::string& host, const std::string& why) {
  return ConfigError("DOCKER_HOST=" + host + ": " + why);
}

void configure_unix(const std::string& host, std::string_view path, ClientConfig& config) {
  if (path.empty()) throw bad_host(host, "the unix socket path is empty");
  if (path.size() > kMaxSocketPath)
    throw bad_host(host, "the unix socket path is " + std::to_string(path.size()) +
                             " bytes long; at most " + std::to_string(kMaxSocketPath) +
                             " are possible");
  config.socket_path = std::string(path);
  config.base_url = "http://localhost";
}

// tcp://host[:port][/prefix]; a missing host means localhost and a missing
// port the engine's usual one (2376 with TLS, else 2375).
void configure_tcp(const std::string& host, std::string_view rest, ClientConfig& config) {
  std::string_view authority = rest;
  std::string_view prefix;
  if (std::size_t slash = rest.find('/'); slash != std::string_view::npos) {
    authority = rest.substr(0, slash);
    prefix = rest.substr(slash);
  }
  if (rest.find_first_of("?#") != std::string_view::npos)
    throw bad_host(host, "a tcp address cannot carry a query or a fragment");
  if (authority.find('@') != std::string_view::npos)
    throw bad_host(host, "a tcp address cannot carry user information");

  std::string_view hostname = authority;
  std::string_view port;
  if (!authority.empty() && authority.front() == '[') {
    std::size_t close = authority.find(']');
    if (close == std::string_view::npos) throw bad_host(host, "unterminated IPv6 address");
    hostname = authority.substr(0, close + 1);
    std::string_view after = authority.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') throw bad_host(host, "malformed address");
      port = after.substr(1);
      if (port.empty()) throw bad_host(host, "the port is empty");
    }
  } else if (std::size_t colon = authority.find(':'); colon != std::string_view::npos) {
    hostname = authority.substr(0, colon);
    port = authority.substr(colon + 1);
    if (port.empty()) throw bad_host(host, "the port is empty");
  }

  int port_number = config.tls ? 2376 : 2375;
  if (!port.empty()) {
    std::optional<int> parsed = parse_number(port);
    if (!parsed || *parsed < 1 || *parsed > 65535)
      throw bad_host(host,
                     "the port \"" + std::string(port) + "\" is not a number from 1 to 65535");
    port_number = *parsed;
  }
  std::string name = hostname.empty() ? std::string("localhost") : std::string(hostname);
  config.local = name == "localhost" || name == "[::1]" || name.starts_with("127.");

  while (!prefix.empty() && prefix.back() == '/') prefix.remove_suffix(1);
  config.base_url = std::string(config.tls ? "https://" : "http://") + name + ":" +
                    std::to_string(port_number) + std::string(prefix);
}

}  // namespace

ClientConfig ClientConfig::from_environment(
    const std::function<std::optional<std::string>(const char*)>& getenv) {
  auto variable = [&](const char* name) { return getenv(name).value_or(""); };

  ClientConfig config;
  std::string host = variable("DOCKER_HOST");
  if (host.empty()) host = kDefaultHost;
  config.host = host;

  constexpr std::string_view kUnix = "unix://";
  constexpr std::string_view kTcp = "tcp://";
  std::string_view view = host;
  if (view.starts_with(kUnix)) {
    configure_unix(host, view.substr(kUnix.size()), config);
  } else if (view.starts_with(kTcp)) {
    std::string verify = variable("DOCKER_TLS_VERIFY");
    std::string cert_path = variable("DOCKER_CERT_PATH");
    // Any non-empty value counts, "0" included, as with the docker CLI.
    config.tls = !verify.empty() || !cert_path.empty();
    config.tls_verify = !verify.empty();
    if (config.tls) {
      if (cert_path.empty()) {
        std::string home = variable("HOME");
        if (home.empty())
          throw ConfigError(
              "TLS is on but neither DOCKER_CERT_PATH nor HOME is set, so there is no "
              "folder to take ca.pem, cert.pem and key.pem from");
        cert_path = home + "/.docker";
      }
      while (cert_path.size() > 1 && cert_path.back() == '/') cert_path.pop_back();
      config.ca_file = cert_path + "/ca.pem";
      config.cert_file = cert_path + "/cert.pem";
      config.key_file = cert_path + "/key.pem";
    }
    configure_tcp(host, view.substr(kTcp.size()), config);
  } else if (view.starts_with("ssh://")) {
    throw bad_host(host,
                   "ssh:// hosts are not supported; point DOCKER_HOST at a unix socket "
                   "(unix:///var/run/docker.sock) or a tcp:// address instead, e.g. after "
                   "forwarding the remote socket with ssh -L");
  } else {
    throw bad_host(host,
                   "unsupported address; expected unix:///path/to/socket or "
                   "tcp://host[:port]");
  }

  std::string pinned = variable("DOCKER_API_VERSION");
  if (!pinned.empty()) {
    std::string_view version = pinned;
    if (version.front() == 'v') version.remove_prefix(1);
    if (!parse_api_version(version))
      throw ConfigError("DOCKER_API_VERSION=" + pinned +
                        ": not an API version such as 1.41 or v1.41");
    config.api_version = std::string(version);
  }
  return config;
}

ClientConfig ClientConfig::from_environment() {
  return from_environment([](const char* name) -> std::optional<std::string> {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
  });
}

std::optional<ApiVersion> parse_api_version(std::string_view text) {
  std::size_t dot = text.find('.');
  if (dot == std::string_view::npos) return std::nullopt;
  std::string_view major = text.substr(0, dot);
  std::string_view minor = text.substr(dot + 1);
  auto digits = [](std::string_view part) {
    return !part.empty() && part.size() <= 6 &&
           part.find_first_not_of("0123456789") == std::string_view::npos;
  };
  if (!digits(major) || !digits(minor)) return std::nullopt;
  return ApiVersion{*parse_number(major), *parse_number(minor)};
}

}  // namespace bootstrap::docker
