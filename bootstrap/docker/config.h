// Where the engine is and how to talk to it, read from the process
// environment the way the standard Docker tools read it:
//
//   DOCKER_HOST         unix:///path or tcp://host[:port][/prefix];
//                       unset or empty means unix:///var/run/docker.sock;
//                       ssh:// is refused
//   DOCKER_TLS_VERIFY   non-empty: TLS to a tcp host, verifying the server
//   DOCKER_CERT_PATH    folder of ca.pem, cert.pem, key.pem (default ~/.docker);
//                       non-empty alone turns TLS on without verification
//   DOCKER_API_VERSION  pins the API version ("1.41" or "v1.41"), no negotiation
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace bootstrap::docker {

struct ClientConfig {
  std::string host = "unix:///var/run/docker.sock";  // as given, for messages
  std::string socket_path;  // set for unix:// hosts
  std::string base_url;     // "http://localhost" for sockets, else http(s)://host:port[/prefix]
  bool tls = false;
  bool tls_verify = false;
  std::string ca_file, cert_file, key_file;
  std::optional<std::string> api_version;  // pinned version, without "v"
  // Whether the engine runs on this machine: a unix socket, or tcp to
  // localhost, ::1 or a 127.x address.
  bool local = true;

  // Whether the engine is looked for where Docker's own installation puts
  // it: unix:///var/run/docker.sock (or /run/docker.sock, the same file).
  bool default_socket() const {
    return socket_path == "/var/run/docker.sock" || socket_path == "/run/docker.sock";
  }

  // Reads the configuration through `getenv`, which returns nullopt for an
  // unset variable. Throws ConfigError for an ssh:// or otherwise unsupported
  // DOCKER_HOST, a malformed address, or a malformed DOCKER_API_VERSION.
  static ClientConfig from_environment(
      const std::function<std::optional<std::string>(const char*)>& getenv);
  // The same, from this process's environment.
  static ClientConfig from_environment();
};

}  // namespace bootstrap::docker
