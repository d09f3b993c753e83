#include "bootstrap/installer/registry.h"

#include <algorithm>
#include <cctype>
#include <string_view>

namespace bootstrap::installer {

namespace {

bool is_path_part(std::string_view part) {
  // Docker's rule for a repository path component: lower-case letters and
  // digits, separated by single ".", "_", "__" or "-" runs.
  if (part.empty() || !std::isalnum(static_cast<unsigned char>(part.front())) ||
      !std::isalnum(static_cast<unsigned char>(part.back())))
    return false;
  return std::all_of(part.begin(), part.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
  });
}

bool is_host(std::string_view host) {
  if (host.empty() || host.size() > 255) return false;
  std::string_view name = host.substr(0, host.rfind(':'));
  if (host.find(':') != std::string_view::npos) {
    std::string_view port = host.substr(host.rfind(':') + 1);
    if (port.empty() || port.size() > 5 ||
        port.find_first_not_of("0123456789") != std::string_view::npos)
      return false;
  }
  if (name.empty()) return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-';
  });
}

// Docker reads the first part of a name as a registry host only when it
// has a dot or a port, or is localhost; anything else is a Hub namespace.
bool looks_like_host(std::string_view part) {
  return part.find('.') != std::string_view::npos || part.find(':') != std::string_view::npos ||
         part == "localhost";
}

}  // namespace

std::string canonical_registry(const std::string& registry) {
  std::string text = registry;
  while (!text.empty() && text.back() == '/') text.pop_back();
  auto refuse = [&](const std::string& why) {
    return std::invalid_argument("\"" + registry + "\" is not HOST[:PORT][/PREFIX]: " + why);
  };
  if (text.find("://") != std::string::npos) throw refuse("no scheme (the engine chooses one)");
  if (text.empty()) throw refuse("it is empty");
  const std::string host = text.substr(0, text.find('/'));
  if (!is_host(host)) throw refuse("\"" + host + "\" is not a host name with an optional port");
  if (!looks_like_host(host))
    throw refuse("\"" + host + "\" would be read as a Docker Hub namespace (a host needs a dot, "
                 "a port or the name localhost)");
  if (host == kPublicRegistry || host == "index.docker.io" || host == "registry-1.docker.io") {
    if (host != text) throw refuse("a prefix on Docker Hub would name other images");
    return "";
  }
  std::string_view rest = std::string_view(text).substr(host.size());
  while (!rest.empty()) {
    rest.remove_prefix(1);  // the "/"
    std::string_view part = rest.substr(0, rest.find('/'));
    if (!is_path_part(part))
      throw refuse("\"" + std::string(part) +
                   "\" is not a path part (lower-case letters, digits, \".\", \"_\", \"-\")");
    rest.remove_prefix(part.size());
  }
  return text;
}

std::string registry_reference(const std::string& image, const std::string& registry) {
  return registry.empty() ? image : registry + "/" + image;
}

bool asks_for_login(const docker::ApiError& error) {
  if (error.status() == 401 || error.status() == 403) return true;
  std::string text = error.message();
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  // Engines answer a registry's refusal with 500 or 404 as often as with
  // 401; only their words tell.
  for (const char* words : {"unauthorized", "authentication required", "no basic auth credentials",
                            "docker login", "incorrect username or password"})
    if (text.find(words) != std::string::npos) return true;
  return false;
}

RegistryLoginNeeded::RegistryLoginNeeded(const std::string& host)
    : std::runtime_error("registry " + host + " needs a login: run 'docker login " + host +
                         "', or give --registry-user and --password-stdin"),
      host_(host) {}

}  // namespace bootstrap::installer
