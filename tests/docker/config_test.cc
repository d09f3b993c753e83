// Reading the engine's address, TLS settings and pinned API version from the
// environment.
#include "bootstrap/docker/config.h"

#include <gtest/gtest.h>

#include <map>

#include "bootstrap/docker/errors.h"

namespace bootstrap::docker {
namespace {

ClientConfig from(std::map<std::string, std::string> env) {
  return ClientConfig::from_environment([&env](const char* name) -> std::optional<std::string> {
    auto it = env.find(name);
    if (it == env.end()) return std::nullopt;
    return it->second;
  });
}

std::string config_error(std::map<std::string, std::string> env) {
  try {
    from(std::move(env));
  } catch (const ConfigError& e) {
    return e.what();
  }
  return "no error";
}

TEST(ConfigTest, UnixSockets) {
  {
    ClientConfig config = from({{"HOME", "/root"}});
    EXPECT_EQ(config.host, "unix:///var/run/docker.sock");
    EXPECT_EQ(config.socket_path, "/var/run/docker.sock");
    EXPECT_EQ(config.base_url, "http://localhost");
    EXPECT_FALSE(config.tls);
    EXPECT_FALSE(config.api_version);
  }
  {
    ClientConfig config = from({{"DOCKER_HOST", ""}});
    EXPECT_EQ(config.socket_path, "/var/run/docker.sock");
  }
  {
    // TLS settings never apply to a socket.
    ClientConfig config = from({{"DOCKER_HOST", "unix:///tmp/engine/docker.sock"},
                                {"DOCKER_TLS_VERIFY", "1"},
                                {"DOCKER_CERT_PATH", "/certs"}});
    EXPECT_EQ(config.host, "unix:///tmp/engine/docker.sock");
    EXPECT_EQ(config.socket_path, "/tmp/engine/docker.sock");
    EXPECT_EQ(config.base_url, "http://localhost");
    EXPECT_FALSE(config.tls);
    EXPECT_FALSE(config.tls_verify);
  }
  {
    std::string path = "/" + std::string(106, 'a');  // 107 bytes: the most that fits
    EXPECT_EQ(from({{"DOCKER_HOST", "unix://" + path}}).socket_path, path);
    std::string error = config_error({{"DOCKER_HOST", "unix://" + path + "b"}});
    EXPECT_NE(error.find("108 bytes"), std::string::npos) << error;
  }
  { EXPECT_NE(config_error({{"DOCKER_HOST", "unix://"}}).find("empty"), std::string::npos); }
}

TEST(ConfigTest, TcpHosts) {
  {
    ClientConfig config = from({{"DOCKER_HOST", "tcp://10.0.0.5"}});
    EXPECT_EQ(config.base_url, "http://10.0.0.5:2375");
    EXPECT_TRUE(config.socket_path.empty());
    EXPECT_FALSE(config.tls);
  }
  {
    ClientConfig config = from({{"DOCKER_HOST", "tcp://engine.example:12375/prefix/"}});
    EXPECT_EQ(config.host, "tcp://engine.example:12375/prefix/");
    EXPECT_EQ(config.base_url, "http://engine.example:12375/prefix");
  }
  {
    EXPECT_EQ(from({{"DOCKER_HOST", "tcp://[::1]:2380"}}).base_url, "http://[::1]:2380");
    EXPECT_EQ(from({{"DOCKER_HOST", "tcp://[::1]"}}).base_url, "http://[::1]:2375");
    EXPECT_EQ(from({{"DOCKER_HOST", "tcp://:2375"}}).base_url, "http://localhost:2375");
  }
  {
    // Each of these is refused with the address in the message.
    for (const char* host :
         {"tcp://host:", "tcp://host:http", "tcp://host:0", "tcp://host:65536", "tcp://[::1",
          "tcp://[::1]x", "tcp://user@host:2375", "tcp://host:2375?x=1"}) {
      std::string error = config_error({{"DOCKER_HOST", host}});
      EXPECT_NE(error.find(std::string("DOCKER_HOST=") + host), std::string::npos) << error;
    }
  }
}

TEST(ConfigTest, LocalEngines) {
  EXPECT_TRUE(from({}).local);
  EXPECT_TRUE(from({{"DOCKER_HOST", ""}}).local);
  EXPECT_TRUE(from({{"DOCKER_HOST", "unix:///var/run/docker.sock"}}).local);
  EXPECT_TRUE(from({{"DOCKER_HOST", "tcp://127.0.0.1:2375"}}).local);
  EXPECT_TRUE(from({{"DOCKER_HOST", "tcp://localhost:2376"}}).local);
  EXPECT_TRUE(from({{"DOCKER_HOST", "tcp://[::1]:2375"}}).local);
  EXPECT_FALSE(from({{"DOCKER_HOST", "tcp://10.0.0.5:2376"}}).local);
  EXPECT_FALSE(from({{"DOCKER_HOST", "tcp://docker.example:2376/prefix"}}).local);
  EXPECT_FALSE(from({{"DOCKER_HOST", "tcp://[fd00::5]:2375"}}).local);
}

TEST(ConfigTest, TlsSettings) {
  {
    ClientConfig config =
        from({{"DOCKER_HOST", "tcp://engine"}, {"DOCKER_TLS_VERIFY", "1"}, {"HOME", "/home/op"}});
    EXPECT_TRUE(config.tls);
    EXPECT_TRUE(config.tls_verify);
    EXPECT_EQ(config.base_url, "https://engine:2376");
    EXPECT_EQ(config.ca_file, "/home/op/.docker/ca.pem");
    EXPECT_EQ(config.cert_file, "/home/op/.docker/cert.pem");
    EXPECT_EQ(config.key_file, "/home/op/.docker/key.pem");
  }
  {
    // Any non-empty value turns verification on, "0" included.
    ClientConfig config = from({{"DOCKER_HOST", "tcp://engine:2376"},
                                {"DOCKER_TLS_VERIFY", "0"},
                                {"DOCKER_CERT_PATH", "/etc/engine-certs/"}});
    EXPECT_TRUE(config.tls);
    EXPECT_TRUE(config.tls_verify);
    EXPECT_EQ(config.ca_file, "/etc/engine-certs/ca.pem");
  }
  {
    // A certificate folder alone means TLS without checking the server.
    ClientConfig config = from({{"DOCKER_HOST", "tcp://engine"}, {"DOCKER_CERT_PATH", "/certs"}});
    EXPECT_TRUE(config.tls);
    EXPECT_FALSE(config.tls_verify);
    EXPECT_EQ(config.base_url, "https://engine:2376");
    EXPECT_EQ(config.key_file, "/certs/key.pem");
  }
  {
    ClientConfig config = from({{"DOCKER_HOST", "tcp://engine"}, {"DOCKER_TLS_VERIFY", ""}});
    EXPECT_FALSE(config.tls);
    EXPECT_EQ(config.base_url, "http://engine:2375");
  }
  {
    std::string error = config_error({{"DOCKER_HOST", "tcp://engine"}, {"DOCKER_TLS_VERIFY", "1"}});
    EXPECT_NE(error.find("DOCKER_CERT_PATH"), std::string::npos) << error;
  }
}

TEST(ConfigTest, RefusedSchemes) {
  {
    std::string error = config_error({{"DOCKER_HOST", "ssh://admin@engine.example"}});
    EXPECT_NE(error.find("ssh://"), std::string::npos) << error;
    EXPECT_NE(error.find("unix socket"), std::string::npos) << error;
    EXPECT_NE(error.find("tcp://"), std::string::npos) << error;
  }
  for (const char* host : {"npipe:////./pipe/kestro_docker", "http://engine:2375", "fd://",
                           "engine:2375", "/var/run/docker.sock"}) {
    std::string error = config_error({{"DOCKER_HOST", host}});
    EXPECT_NE(error.find("unsupported"), std::string::npos) << host << ": " << error;
  }
}

TEST(ConfigTest, PinnedApiVersion) {
  {
    EXPECT_EQ(from({{"DOCKER_API_VERSION", "v1.41"}}).api_version, "1.41");
    EXPECT_EQ(from({{"DOCKER_API_VERSION", "1.47"}}).api_version, "1.47");
    EXPECT_FALSE(from({{"DOCKER_API_VERSION", ""}}).api_version);
  }
  for (const char* version :
       {"1", "1.", ".41", "v", "vv1.41", "1.41.0", "1.4a", " 1.41", "latest", "-1.41"}) {
    std::string error = config_error({{"DOCKER_API_VERSION", version}});
    EXPECT_NE(error.find(std::string("DOCKER_API_VERSION=") + version), std::string::npos)
        << version << ": " << error;
  }
}

}  // namespace
}  // namespace bootstrap::docker
