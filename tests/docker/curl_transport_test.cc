// CurlTransport on the wire, against a fake HTTP server on a unix socket:
// what libcurl sends for each kind of request, how answers and streams come
// back, and how failures are reported.
#include "bootstrap/docker/curl_transport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <future>
#include <thread>
#include <vector>

#include "bootstrap/docker/errors.h"
#include "tests/docker/fake_http_server.h"

extern char** environ;

namespace bootstrap::docker {
namespace {

using testing::chunk;
using testing::FakeHttpServer;
using testing::RawReply;
using testing::ReceivedRequest;

ClientConfig socket_config(const std::string& path) {
  ClientConfig config;
  config.host = "unix://" + path;
  config.socket_path = path;
  config.base_url = "http://localhost";
  return config;
}

TEST(CurlTransportTest, RequestsOnTheWire) {
  FakeHttpServer server;
  server.reply(200, "OK", "[]", "Content-Type: application/json\r\n");
  server.reply(201, "Created", R"({"Id":"n1"})", "Content-Type: application/json\r\n");
  server.reply(204, "No Content", "");
  server.reply(204, "No Content", "");
  // The answer to HEAD announces a length but, as HTTP has it, sends no body.
  server.reply(RawReply{
      {"HTTP/1.1 200 OK\r\nApi-Version: 1.41\r\nContent-Length: 2\r\n\r\n"}, nullptr, false});
  std::string large(2 * 1024 * 1024, 'x');  // large enough for libcurl to want "100 Continue"
  server.reply(201, "Created", "{}");

  CurlTransport transport(socket_config(server.socket_path()));
  EXPECT_EQ(transport.endpoint(), "unix://" + server.socket_path());

  Response listed = transport.send({"GET", "/v1.41/networks", std::nullopt, {}});
  EXPECT_EQ(listed.status, 200);
  EXPECT_EQ(listed.body, "[]");
  EXPECT_EQ(listed.header("content-TYPE"), "application/json");

  Response created = transport.send(
      {"POST", "/v1.41/networks/create", R"({"Name":"n"})", {{"X-Registry-Auth", "e30="}}});
  EXPECT_EQ(created.status, 201);
  EXPECT_EQ(created.body, R"({"Id":"n1"})");

  EXPECT_EQ(transport.send({"POST", "/v1.41/containers/c/start", std::nullopt, {}}).status, 204);
  EXPECT_EQ(transport.send({"DELETE", "/v1.41/volumes/v", std::nullopt, {}}).status, 204);
  Response ping = transport.send({"HEAD", "/_ping", std::nullopt, {}});
  EXPECT_EQ(ping.status, 200);
  EXPECT_EQ(ping.header("API-VERSION"), "1.41");
  EXPECT_EQ(transport.send({"POST", "/v1.41/big", "\"" + large + "\"", {}}).status, 201);

  std::vector<ReceivedRequest> seen = server.requests();
  ASSERT_EQ(seen.size(), 6u);
  EXPECT_EQ(seen[0].request_line, "GET /v1.41/networks HTTP/1.1");
  EXPECT_FALSE(seen[0].header("Content-Type"));

  EXPECT_EQ(seen[1].request_line, "POST /v1.41/networks/create HTTP/1.1");
  EXPECT_EQ(seen[1].header("Content-Type"), "application/json");
  EXPECT_EQ(seen[1].header("Content-Length"), "12");
  EXPECT_EQ(seen[1].header("X-Registry-Auth"), "e30=");
  EXPECT_EQ(seen[1].body, R"({"Name":"n"})");

  // A POST without a body has a length of zero: the engine refuses chunked.
  EXPECT_EQ(seen[2].request_line, "POST /v1.41/containers/c/start HTTP/1.1");
  EXPECT_EQ(seen[2].header("Content-Length"), "0");
  EXPECT_FALSE(seen[2].header("Content-Type"));

  EXPECT_EQ(seen[3].request_line, "DELETE /v1.41/volumes/v HTTP/1.1");
  EXPECT_EQ(seen[4].request_line, "HEAD /_ping HTTP/1.1");

  EXPECT_EQ(seen[5].header("Content-Length"), std::to_string(large.size() + 2));
  EXPECT_EQ(seen[5].body.size(), large.size() + 2);

  for (const ReceivedRequest& request : seen) {
    EXPECT_FALSE(request.header("Transfer-Encoding")) << request.request_line;
    EXPECT_FALSE(request.header("Expect")) << request.request_line;
    EXPECT_EQ(request.header("Host"), "localhost") << request.request_line;
    // One connection serves every request.
    EXPECT_EQ(request.connection, 1) << request.request_line;
  }
  EXPECT_EQ(server.connections(), 1);
}

TEST(CurlTransportTest, TcpHostWithPathPrefix) {
  FakeHttpServer server(FakeHttpServer::Listen::kLoopbackTcp);
  server.reply(200, "OK", "{}");
  ClientConfig config;
  config.host = "tcp://127.0.0.1:" + std::to_string(server.port()) + "/engine";
  config.base_url = "http://127.0.0.1:" + std::to_string(server.port()) + "/engine";
  CurlTransport transport(config);
  EXPECT_EQ(transport.send({"GET", "/v1.41/version", std::nullopt, {}}).body, "{}");
  std::vector<ReceivedRequest> seen = server.requests();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].request_line, "GET /engine/v1.41/version HTTP/1.1");
  EXPECT_EQ(seen[0].header("Host"), "127.0.0.1:" + std::to_string(server.port()));
}

TEST(CurlTransportTest, StreamsLinesAsTheyArrive) {
  FakeHttpServer server;
  // The rest of the body is held back until the client has seen the first
  // line; a transport that buffered the whole body would never see it.
  std::promise<void> first_line;
  std::future<void> first_line_seen = first_line.get_future();
  bool arrived_in_time = false;
  const std::string head =
      "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\n";
  server.reply(RawReply{
      {head + chunk("{\"status\":\"Pulling\"}\r\n{\"sta"),
       chunk("tus\":\"Downloading\"}\r") + chunk("\n"), chunk("{\"status\":\"Done\"}") + chunk("")},
      [&](std::size_t part) {
        if (part == 1)
          arrived_in_time =
              first_line_seen.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
      },
      false});
  // An error answer to a streaming request comes back whole.
  server.reply(404, "Not Found", "{\"message\":\"manifest for app:9 not found\"}\n",
               "Content-Type: application/json\r\n");

  CurlTransport transport(socket_config(server.socket_path()));
  std::vector<std::string> lines;
  Response streamed = transport.send_streaming(
      {"POST", "/v1.41/images/create?fromImage=app&tag=1", std::nullopt, {}},
      [&](std::string_view line) {
        lines.emplace_back(line);
        if (lines.size() == 1) first_line.set_value();
      });
  EXPECT_EQ(streamed.status, 200);
  EXPECT_TRUE(streamed.body.empty());
  EXPECT_TRUE(arrived_in_time);
  EXPECT_EQ(lines,
            (std::vector<std::string>{"{\"status\":\"Pulling\"}", "{\"status\":\"Downloading\"}",
                                      "{\"status\":\"Done\"}"}));

  lines.clear();
  Response refused = transport.send_streaming(
      {"POST", "/v1.41/images/create?fromImage=app&tag=9", std::nullopt, {}},
      [&](std::string_view line) { lines.emplace_back(line); });
  EXPECT_EQ(refused.status, 404);
  EXPECT_EQ(refused.body, "{\"message\":\"manifest for app:9 not found\"}\n");
  EXPECT_TRUE(lines.empty());
}

TEST(CurlTransportTest, Failures) {
  {
    // No socket at all.
    ClientConfig config = socket_config("/nonexistent/docker.sock");
    CurlTransport transport(config);
    try {
      transport.send({"GET", "/_ping", std::nullopt, {}});
      ADD_FAILURE() << "no error";
    } catch (const ConnectionError& e) {
      EXPECT_EQ(e.endpoint(), "unix:///nonexistent/docker.sock");
      std::string text = e.what();
      EXPECT_EQ(
          text.rfind("cannot reach the Docker engine at unix:///nonexistent/docker.sock: ", 0), 0u)
          << text;
      // Advice from the system's reason, not libcurl's "localhost port 80".
      EXPECT_EQ(e.detail(),
                "no engine socket at /nonexistent/docker.sock: is Docker installed and running? "
                "(systemctl status docker)");
    }
  }
  {
    // TLS options are accepted by libcurl; only the missing engine fails.
    ClientConfig config;
    config.host = "tcp://127.0.0.1:1";
    config.base_url = "https://127.0.0.1:1";
    config.tls = config.tls_verify = true;
    config.ca_file = "/nonexistent/ca.pem";
    config.cert_file = "/nonexistent/cert.pem";
    config.key_file = "/nonexistent/key.pem";
    CurlTransport transport(config);
    try {
      transport.send({"GET", "/_ping", std::nullopt, {}});
      ADD_FAILURE() << "no error";
    } catch (const ConnectionError& e) {
      EXPECT_EQ(
          std::string(e.what()).rfind("cannot reach the Docker engine at tcp://127.0.0.1:1: ", 0),
          0u)
          << e.what();
      EXPECT_EQ("nothing listens at 127.0.0.1:1", e.detail());
    }
  }
  {
    // The engine hangs up halfway through a body.
    FakeHttpServer server;
    server.reply(
        RawReply{{"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n{\"Id\":"}, nullptr, true});
    CurlTransport transport(socket_config(server.socket_path()));
    EXPECT_THROW(transport.send({"GET", "/v1.41/info", std::nullopt, {}}), ConnectionError);
  }
  {
    // An exception from the sink ends the transfer, reaches the caller, and
    // leaves the transport usable.
    FakeHttpServer server;
    server.reply(
        RawReply{{"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + chunk("one\ntwo\n"),
                  chunk("three\n") + chunk("")},
                 nullptr,
                 false});
    server.reply(200, "OK", "fine");
    CurlTransport transport(socket_config(server.socket_path()));
    std::vector<std::string> lines;
    EXPECT_THROW(transport.send_streaming({"GET", "/stream", std::nullopt, {}},
                                          [&](std::string_view line) {
                                            lines.emplace_back(line);
                                            throw std::runtime_error("stop");
                                          }),
                 std::runtime_error);
    EXPECT_EQ(lines, std::vector<std::string>{"one"});
    EXPECT_EQ(transport.send({"GET", "/again", std::nullopt, {}}).body, "fine");
  }
  {
    // An answer one byte past the bound, with no length announced, ends the
    // transfer instead of growing without end; the transport stays usable.
    FakeHttpServer server;
    server.reply(RawReply{{"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" +
                               chunk(std::string(kMaxAnswerBytes, 'x')),
                           chunk("x") + chunk("")},
                          nullptr,
                          false});
    server.reply(200, "OK", "fine");
    CurlTransport transport(socket_config(server.socket_path()));
    try {
      transport.send({"GET", "/v1.41/containers/json", std::nullopt, {}});
      ADD_FAILURE() << "no error";
    } catch (const MalformedAnswer& e) {
      EXPECT_STREQ("the engine's answer to GET /v1.41/containers/json is larger than 64 MiB",
                   e.what());
    }
    EXPECT_EQ(transport.send({"GET", "/again", std::nullopt, {}}).body, "fine");
  }
}


// An `openssl s_server` on a loopback port that insists on a client
// certificate signed by its CA, as an engine started with --tlsverify does.
class TlsEngine {
 public:
  TlsEngine(const std::string& dir, int port) {
    int fds[2];
    if (pipe(fds) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // Its standard input stays open as long as we hold the pipe: s_server
    // ends at end of input.
    posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<std::string> argv{"openssl", "s_server", "-quiet", "-www",
                                  "-verify_return_error", "-Verify", "1",
                                  "-accept", "127.0.0.1:" + std::to_string(port),
                                  "-cert", dir + "/server.pem", "-key", dir + "/server-key.pem",
                                  "-CAfile", dir + "/ca.pem"};
    std::vector<char*> args;
    for (std::string& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    if (posix_spawnp(&pid_, "openssl", &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(fds[0]);
    input_ = fds[1];
  }
  ~TlsEngine() {
    if (pid_ > 0) kill(pid_, SIGTERM), waitpid(pid_, nullptr, 0);
    close(input_);
  }
  bool started() const { return pid_ > 0; }

 private:
  pid_t pid_ = -1;
  int input_ = -1;
};

int free_loopback_port() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof addr;
  bind(fd, reinterpret_cast<sockaddr*>(&addr), size);
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &size);
  close(fd);
  return ntohs(addr.sin_port);
}

// A refused TLS connection says which of the files the operator supplies is
// at fault: the CA, the client certificate or its key.
TEST(CurlTransportTest, TlsFailuresNameTheFileAtFault) {
  char dir_template[] = "/tmp/kestro-tls-XXXXXX";
  const std::string dir = mkdtemp(dir_template);
  const std::string key = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 ";
  const std::string made = "cd " + dir + " && " +
      "openssl req -x509 " + key + "-subj /CN=ca -keyout ca-key.pem -out ca.pem && " +
      "openssl req -x509 " + key + "-subj /CN=other -keyout other-key.pem -out other.pem && " +
      "openssl req " + key + "-subj /CN=127.0.0.1 -keyout server-key.pem -out server.csr && " +
      "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca-key.pem -CAcreateserial -days 1 "
      "-extfile /dev/stdin -out server.pem <<< 'subjectAltName=IP:127.0.0.1' && " +
      "openssl req " + key + "-subj /CN=client -keyout key.pem -out client.csr && " +
      "openssl x509 -req -in client.csr -CA ca.pem -CAkey ca-key.pem -days 1 -out cert.pem && " +
      "echo junk > junk.pem";
  if (std::system(("bash -c \"" + made + "\" >/dev/null 2>&1").c_str()) != 0)
    GTEST_SKIP() << "the openssl program cannot make test certificates";
  const int port = free_loopback_port();
  TlsEngine engine(dir, port);
  ASSERT_TRUE(engine.started());

  struct Case {
    std::string ca, cert, key, says;
  };
  const std::vector<Case> cases = {
      {"other.pem", "cert.pem", "key.pem",
       "the engine's certificate is not signed by the CA in " + dir + "/other.pem"},
      {"junk.pem", "cert.pem", "key.pem", "the CA file " + dir + "/junk.pem cannot be used"},
      {"ca.pem", "junk.pem", "key.pem",
       "the client certificate " + dir + "/junk.pem cannot be used"},
      {"ca.pem", "cert.pem", "other-key.pem",
       "the client key " + dir + "/other-key.pem cannot be used"},
      {"ca.pem", "other.pem", "other-key.pem",
       "the engine refused the client certificate " + dir + "/other.pem"},
      {"ca.pem", "absent.pem", "absent-key.pem",
       "the engine requires a client certificate and none was offered"},
  };
  for (const Case& c : cases) {
    ClientConfig config;
    config.host = "tcp://127.0.0.1:" + std::to_string(port);
    config.base_url = "https://127.0.0.1:" + std::to_string(port);
    config.tls = config.tls_verify = true;
    config.ca_file = dir + "/" + c.ca;
    config.cert_file = dir + "/" + c.cert;
    config.key_file = dir + "/" + c.key;
    std::string detail = "no error";
    // The server may still be starting for the first case.
    for (int attempt = 0; attempt < 50; ++attempt) {
      try {
        CurlTransport(config).send({"GET", "/_ping", std::nullopt, {}});
        detail = "no error";
      } catch (const ConnectionError& e) {
        detail = e.detail();
      }
      if (detail.rfind("nothing listens", 0) != 0) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_EQ(0u, detail.rfind(c.says, 0)) << c.ca << " " << c.cert << " " << c.key << ": " << detail;
  }
  std::system(("rm -rf " + dir).c_str());
}

}  // namespace
}  // namespace bootstrap::docker
