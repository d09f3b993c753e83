// Registry credentials, found where the Docker client keeps them.
//
// An operator who has run `docker login HOST` has credentials for HOST in
// the Docker client's configuration file ($DOCKER_CONFIG/config.json, else
// ~/.docker/config.json): either in the file itself (auths[HOST].auth, the
// Base64 of "user:password", or an identity token), or in a credential
// helper the file names (credHelpers[HOST], else credsStore), a program
// docker-credential-NAME that answers `get` with HOST on its standard input
// and a JSON document on its output. They are looked up here in that order
// and handed to the engine for one operation; nothing is stored.
//
// A helper is looked for in the fixed program path (kProgramPath), then in
// the folders of the caller's PATH that only root or this process's own
// user can change (owned by one of them, writable by neither group nor
// others), as the file itself must be: a root process does not run a
// program another account could have planted, and an operator's
// ~/bin/docker-credential-* still works for the operator's own runs.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "bootstrap/host/host.h"

namespace bootstrap::host {

struct RegistryCredentials {
  std::string username;  // "<token>" when `password` is an identity token
  std::string password;
  // Where they came from, for the one line that says so: "config.json",
  // "docker-credential-NAME".
  std::string source;
};

// The Docker client's configuration file, given the values of DOCKER_CONFIG
// and HOME: DOCKER_CONFIG/config.json when that is set and not empty, else
// HOME/.docker/config.json. Never throws.
std::string docker_config_path(const std::optional<std::string>& docker_config,
                               const std::optional<std::string>& home);

// The text of `path`, or nullopt when there is no such file. Throws
// HostError when it exists and cannot be read.
std::optional<std::string> read_docker_config(const std::string& path);

// The helper program `name` as the class comment says where it is looked
// for, `search_path` being the caller's PATH, as a path. Throws HostError
// when no such program is found there.
std::string credential_helper_path(const std::string& name, const std::string& search_path);

// Finds the credentials for registry `host` ("registry.local:5000";
// "docker.io" for Docker Hub) in the configuration text `config`: auths
// (keys compared by host, without scheme or path), then credHelpers[host],
// then credsStore, running a helper through `process` with the path
// `locate` gives its program's name. Returns nullopt when none has any.
// Throws HostError, naming the file or the helper and never a secret, when
// the text is not a JSON object, an auth entry is not Base64 of
// "user:password", or a helper fails or answers something other than its
// JSON document.
std::optional<RegistryCredentials> find_registry_credentials(
    const std::string& host, const std::string& config, ProcessRunner& process,
    const std::function<std::string(const std::string&)>& locate);

}  // namespace bootstrap::host
