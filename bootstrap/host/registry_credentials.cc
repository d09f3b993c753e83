#include "bootstrap/host/registry_credentials.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string_view>

#include <nlohmann/json.hpp>

#include "bootstrap/base/base64.h"

namespace bootstrap::host {

namespace {

using json = nlohmann::json;

// "https://registry.local:5000/v2/" and "registry.local:5000" name one
// registry; Docker Hub's keys ("https://index.docker.io/v1/") name docker.io.
std::string key_host(std::string_view key) {
  if (std::size_t scheme = key.find("://"); scheme != std::string_view::npos)
    key.remove_prefix(scheme + 3);
  key = key.substr(0, key.find('/'));
  if (key == "index.docker.io" || key == "registry-1.docker.io") return "docker.io";
  return std::string(key);
}

std::string text_member(const json& object, const char* key) {
  auto it = object.find(key);
  return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// A folder or file only root or this user can change.
bool trusted(const struct stat& info) {
  return (info.st_uid == 0 || info.st_uid == ::geteuid()) && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

std::optional<RegistryCredentials> from_helper(const std::string& host, const std::string& name,
                                               ProcessRunner& process,
                                               const std::function<std::string(const std::string&)>& locate) {
  const std::string program = "docker-credential-" + name;
  // Docker Hub's name in every helper's store is its old index address.
  const std::string server = host == "docker.io" ? "https://index.docker.io/v1/" : host;
  ProcessRunner::Result answer = process.run_with_input(locate(program), {"get"}, server);
  if (answer.exit_status != 0) {
    // Helpers say "credentials not found in native keychain" for a registry
    // they hold nothing for; that is an answer, not a failure.
    if (answer.output.find("credentials not found") != std::string::npos) return std::nullopt;
    throw HostError(program + " get " + host + " failed (exit status " +
                    std::to_string(answer.exit_status) + ")");
  }
  json document = json::parse(answer.output, nullptr, /*allow_exceptions=*/false);
  if (!document.is_object())
    throw HostError(program + " get " + host + " answered something other than a JSON object");
  RegistryCredentials found{text_member(document, "Username"), text_member(document, "Secret"),
                            program};
  if (found.password.empty()) return std::nullopt;
  return found;
}

}  // namespace

std::string docker_config_path(const std::optional<std::string>& docker_config,
                               const std::optional<std::string>& home) {
  if (docker_config && !docker_config->empty()) return *docker_config + "/config.json";
  return home.value_or("") + "/.docker/config.json";
}

std::optional<std::string> read_docker_config(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (errno == ENOENT) return std::nullopt;
    throw HostError("read " + path + ": " + std::strerror(errno));
  }
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) throw HostError("read " + path + ": cannot be read");
  return text.str();
}

std::string credential_helper_path(const std::string& name, const std::string& search_path) {
  auto look_in = [&](std::string_view folders, bool check) -> std::string {
    while (!folders.empty()) {
      std::size_t colon = folders.find(':');
      std::string folder(folders.substr(0, colon));
      folders = colon == std::string_view::npos ? std::string_view() : folders.substr(colon + 1);
      if (folder.empty() || folder.front() != '/') continue;  // "." and relative parts: never
      std::string candidate = folder + "/" + name;
      struct stat dir {}, file {};
      if (::stat(candidate.c_str(), &file) != 0 || !S_ISREG(file.st_mode) ||
          ::access(candidate.c_str(), X_OK) != 0)
        continue;
      if (check && (::stat(folder.c_str(), &dir) != 0 || !trusted(dir) || !trusted(file))) continue;
      return candidate;
    }
    return {};
  };
  std::string found = look_in(kProgramPath, false);
  if (found.empty()) found = look_in(search_path, true);
  if (found.empty())
    throw HostError("cannot run " + name + ": not found in " + kProgramPath +
                    " nor in a folder of PATH that only root or this user can change");
  return found;
}

std::optional<RegistryCredentials> find_registry_credentials(
    const std::string& host, const std::string& config, ProcessRunner& process,
    const std::function<std::string(const std::string&)>& locate) {
  json document = json::parse(config, nullptr, /*allow_exceptions=*/false);
  if (!document.is_object()) throw HostError("the Docker configuration is not a JSON object");

  if (auto auths = document.find("auths"); auths != document.end() && auths->is_object()) {
    for (const auto& [key, entry] : auths->items()) {
      if (key_host(key) != host || !entry.is_object()) continue;
      const std::string token = text_member(entry, "identitytoken");
      if (!token.empty()) return RegistryCredentials{"<token>", token, "config.json"};
      const std::string auth = text_member(entry, "auth");
      if (auth.empty()) continue;  // a placeholder beside a credential store
      std::string pair;
      try {
        pair = base::base64_decode(auth);
      } catch (const std::invalid_argument&) {
        throw HostError("the Docker configuration's entry for " + host + " is not Base64");
      }
      const std::size_t colon = pair.find(':');
      if (colon == std::string::npos)
        throw HostError("the Docker configuration's entry for " + host + " is not user:password");
      return RegistryCredentials{pair.substr(0, colon), pair.substr(colon + 1), "config.json"};
    }
  }
  if (auto helpers = document.find("credHelpers"); helpers != document.end() && helpers->is_object())
    for (const auto& [key, name] : helpers->items())
      if (key_host(key) == host && name.is_string() && !name.get<std::string>().empty())
        return from_helper(host, name.get<std::string>(), process, locate);
  const std::string store = text_member(document, "credsStore");
  if (!store.empty()) return from_helper(host, store, process, locate);
  return std::nullopt;
}

}  // namespace bootstrap::host
