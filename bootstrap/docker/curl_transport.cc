#include "bootstrap/docker/curl_transport.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <charconv>
#include <cstring>
#include <exception>
#include <filesystem>
#include <mutex>
#include <new>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "bootstrap/base/text.h"
#include "bootstrap/docker/curl_handles.h"
#include "bootstrap/docker/line_splitter.h"
#include "bootstrap/docker/errors.h"

namespace bootstrap::docker {

namespace {

constexpr long kConnectTimeoutSeconds = 10;
// Stop waits for the container to exit and pulls can sit on a slow layer, both
// without a byte on the wire; a connection silent for this long is dead.
constexpr long kStallSeconds = 600;

std::once_flag curl_init_once;

}  // namespace

void ensure_curl_initialised() {
  std::call_once(curl_init_once, [] {
    CURLcode code = curl_global_init(CURL_GLOBAL_DEFAULT);
    if (code != CURLE_OK)
      throw EngineError(std::string("cannot initialise libcurl: ") + curl_easy_strerror(code));
  });
}

CurlEasy::CurlEasy() : handle_(curl_easy_init()) {
  if (!handle_) throw std::runtime_error("curl_easy_init failed");
}

void CurlSlist::append(const std::string& line) {
  curl_slist* grown = curl_slist_append(list_.get(), line.c_str());
  if (grown == nullptr) throw std::bad_alloc();
  (void)list_.release();
  list_.reset(grown);
}

namespace {

// What the callbacks of one transfer share.
struct Exchange {
  std::string request_line;  // "GET /v1.47/containers/json", for errors
  Response response;
  // Set for the streaming sends: a 2xx body goes here as it arrives.
  const ByteSink* stream = nullptr;
  bool streaming_body = false;  // decided when the first body byte arrives
  bool body_started = false;
  std::exception_ptr sink_failure;
  // Set for send_upload: where the request body comes from.
  const ByteSource* upload = nullptr;
};

size_t on_header(char* data, size_t size, size_t count, void* user) {
  auto* exchange = static_cast<Exchange*>(user);
  std::string_view line = base::trim(std::string_view(data, size * count));
  if (line.starts_with("HTTP/")) {
    // A new status line (after "100 Continue", say) starts a new header block.
    exchange->response.headers.clear();
    std::size_t space = line.find(' ');
    long status = 0;
    if (space != std::string_view::npos) {
      std::string_view code = line.substr(space + 1);
      std::from_chars(code.data(), code.data() + code.size(), status);
    }
    exchange->response.status = status;
  } else if (std::size_t colon = line.find(':'); colon != std::string_view::npos) {
    exchange->response.headers.emplace_back(std::string(base::trim(line.substr(0, colon))),
                                            std::string(base::trim(line.substr(colon + 1))));
  }
  return size * count;
}

size_t on_body(char* data, size_t size, size_t count, void* user) {
  auto* exchange = static_cast<Exchange*>(user);
  size_t bytes = size * count;
  if (!exchange->body_started) {
    exchange->body_started = true;
    long status = exchange->response.status;
    exchange->streaming_body = exchange->stream != nullptr && status >= 200 && status < 300;
  }
  if (!exchange->streaming_body) {
    if (bytes > kMaxAnswerBytes - exchange->response.body.size()) {
      // Returning short makes libcurl abandon the transfer; the reason is
      // rethrown once perform() has returned.
      exchange->sink_failure = std::make_exception_ptr(MalformedAnswer(
          "the engine's answer to " + exchange->request_line + " is larger than " +
          std::to_string(kMaxAnswerBytes >> 20) + " MiB"));
      return 0;
    }
    exchange->response.body.append(data, bytes);
    return bytes;
  }
  try {
    (*exchange->stream)(std::string_view(data, bytes));
  } catch (...) {
    // Unwinding through libcurl is not allowed: keep the exception, make
    // libcurl abort the transfer, and rethrow once perform() has returned.
    exchange->sink_failure = std::current_exception();
    return 0;
  }
  return bytes;
}

size_t on_read(char* buffer, size_t size, size_t count, void* user) {
  auto* exchange = static_cast<Exchange*>(user);
  try {
    return (*exchange->upload)(buffer, size * count);
  } catch (...) {
    // As in on_body: libcurl must not be unwound through.
    exchange->sink_failure = std::current_exception();
    return CURL_READFUNC_ABORT;
  }
}

// libcurl's own socket() leaves the descriptor open across exec, so every
// program we start (apt, dpkg's maintainer scripts, a shell) would hold the
// engine connection; SOCK_CLOEXEC closes it there atomically, with no window
// for a child started by another thread. Called for unix sockets as well.
curl_socket_t open_socket(void*, curlsocktype, curl_sockaddr* address) {
  int fd = ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
  return fd < 0 ? CURL_SOCKET_BAD : fd;
}

// Called by libcurl many times a second while a transfer runs, also while
// it waits for an answer; a non-zero answer abandons the transfer.
int on_progress(void*, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return interrupt_requested() ? 1 : 0;
}

std::string socket_advice(const std::string& path, int error) {
  switch (error) {
    case EACCES:
    case EPERM: {
      std::string owner;
      struct stat info {};
      if (::stat(path.c_str(), &info) == 0) {
        const struct group* entry = ::getgrgid(info.st_gid);
        owner = entry != nullptr ? entry->gr_name : std::to_string(info.st_gid);
      }
      return "permission denied: run as root, or as a member of the group that owns " + path +
             (owner.empty() ? "" : " (" + owner + ")");
    }
    case ENOENT:
    case ENOTDIR:
      return "no engine socket at " + path +
             ": is Docker installed and running? (systemctl status docker)";
    case ECONNREFUSED:
      return "nothing listens on " + path + ": is Docker running? (systemctl status docker)";
    default:
      return std::strerror(error);
  }
}

// "tcp://10.0.0.5:2376" -> "10.0.0.5:2376".
std::string host_and_port(const std::string& host) {
  std::size_t scheme = host.find("://");
  return scheme == std::string::npos ? host : host.substr(scheme + 3);
}

// libcurl words every failure as if the engine were a web server ("Failed to
// connect to localhost port 80" for a unix socket); the operator needs to
// know which of the things they control is wrong.
std::string failure_advice(const ClientConfig& config, CURLcode code, int os_error,
                           const std::string& detail) {
  if (!config.socket_path.empty()) {
    if (code != CURLE_COULDNT_CONNECT) return detail;
    if (os_error != 0) return socket_advice(config.socket_path, os_error);
    std::string problem = unix_socket_problem(config.socket_path);
    return problem.empty() ? detail : problem;
  }
  const std::string address = host_and_port(config.host);
  // The engine's refusal of our certificate arrives as a TLS alert, on
  // whichever call was reading at the time.
  auto says = [&detail](const char* text) { return detail.find(text) != std::string::npos; };
  if (config.tls && says("alert certificate required"))
    return "the engine requires a client certificate and none was offered (" +
           config.cert_file + " and " + config.key_file + " are needed)";
  if (config.tls && (says("alert unknown ca") || says("alert bad certificate") ||
                     says("alert certificate unknown")))
    return "the engine refused the client certificate " + config.cert_file + " (" + detail + ")";
  switch (code) {
    case CURLE_COULDNT_CONNECT:
      if (os_error == ECONNREFUSED) return "nothing listens at " + address;
      return detail;
    case CURLE_SSL_CACERT_BADFILE:
      return "the CA file " + config.ca_file + " cannot be used (" + detail + ")";
    case CURLE_PEER_FAILED_VERIFICATION:
      return "the engine's certificate is not signed by the CA in " + config.ca_file + " (" +
             detail + ")";
    case CURLE_SSL_CERTPROBLEM:
      if (says("client certificate"))
        return "the client certificate " + config.cert_file + " cannot be used (" + detail + ")";
      return "the client key " + config.key_file + " cannot be used (" + detail + ")";
    case CURLE_SSL_CONNECT_ERROR:
      return "the TLS handshake with " + address + " failed (" + detail + ")";
    default:
      return detail;
  }
}

}  // namespace

std::string unix_socket_problem(const std::string& path) {
  // The effective ids decide, as they do for connect().
  if (::faccessat(AT_FDCWD, path.c_str(), R_OK | W_OK, AT_EACCESS) == 0) return {};
  return socket_advice(path, errno);
}

struct CurlTransport::Impl {
  ClientConfig config;
  CurlEasy easy;
  char error_text[CURL_ERROR_SIZE] = {};

  explicit Impl(ClientConfig c) : config(std::move(c)) {}

  template <typename Value>
  void set(CURLoption option, Value value) {
    CURLcode code = curl_easy_setopt(easy.get(), option, value);
    if (code != CURLE_OK)
      throw EngineError("cannot configure libcurl for " + config.host + ": " +
                        curl_easy_strerror(code));
  }

  // `upload`, when given, is the request body and `upload_length` its size.
  Response perform(const Request& request, const ByteSink* sink, bool stall_limit = true,
                   const ByteSource* upload = nullptr, std::uint64_t upload_length = 0);
};

Response CurlTransport::Impl::perform(const Request& request, const ByteSink* sink,
                                      bool stall_limit, const ByteSource* upload,
                                      std::uint64_t upload_length) {
  if (interrupt_requested()) throw Interrupted();
  CURL* curl = easy.get();
  // reset() forgets the previous request's options but keeps the open
  // connection, which is what lets one engine connection serve them all.
  curl_easy_reset(curl);

  Exchange exchange;
  exchange.request_line = request.method + " " + request.target;
  exchange.stream = sink;
  exchange.upload = upload;

  std::string url = config.base_url + request.target;
  set(CURLOPT_URL, url.c_str());
  set(CURLOPT_PROTOCOLS_STR, "http,https");
  set(CURLOPT_NOSIGNAL, 1L);
  set(CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
  if (stall_limit) {
    set(CURLOPT_LOW_SPEED_LIMIT, 1L);
    set(CURLOPT_LOW_SPEED_TIME, kStallSeconds);
  }
  set(CURLOPT_ERRORBUFFER, error_text);
  set(CURLOPT_HEADERFUNCTION, on_header);
  set(CURLOPT_HEADERDATA, &exchange);
  set(CURLOPT_WRITEFUNCTION, on_body);
  set(CURLOPT_WRITEDATA, &exchange);
  set(CURLOPT_NOPROGRESS, 0L);
  set(CURLOPT_XFERINFOFUNCTION, on_progress);
  set(CURLOPT_OPENSOCKETFUNCTION, open_socket);

  if (!config.socket_path.empty()) {
    set(CURLOPT_UNIX_SOCKET_PATH, config.socket_path.c_str());
  } else {
    set(CURLOPT_TCP_KEEPALIVE, 1L);
    if (config.tls) {
      set(CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
      set(CURLOPT_SSL_VERIFYPEER, config.tls_verify ? 1L : 0L);
      set(CURLOPT_SSL_VERIFYHOST, config.tls_verify ? 2L : 0L);
      if (config.tls_verify) set(CURLOPT_CAINFO, config.ca_file.c_str());
      // As the docker CLI does, a missing client certificate means none is
      // offered; an engine that requires one then refuses the handshake.
      std::error_code ignored;
      if (std::filesystem::exists(config.cert_file, ignored) &&
          std::filesystem::exists(config.key_file, ignored)) {
        set(CURLOPT_SSLCERT, config.cert_file.c_str());
        set(CURLOPT_SSLKEY, config.key_file.c_str());
      }
    }
  }

  CurlSlist headers;
  // Without this libcurl may hold back a large body waiting for a
  // "100 Continue" the engine never sends.
  headers.append("Expect:");
  if (request.body) {
    headers.append("Content-Type: application/json");
  } else if (request.method == "POST" && upload == nullptr) {
    // Drop the form Content-Type libcurl would add to an empty POST.
    headers.append("Content-Type:");
  }
  for (const auto& [name, value] : request.headers) headers.append(name + ": " + value);
  set(CURLOPT_HTTPHEADER, headers.get());

  if (request.method == "GET") {
    set(CURLOPT_HTTPGET, 1L);
  } else if (request.method == "HEAD") {
    set(CURLOPT_NOBODY, 1L);
  } else {
    if (request.method == "POST") {
      set(CURLOPT_POST, 1L);
    } else {
      set(CURLOPT_CUSTOMREQUEST, request.method.c_str());
    }
    if (upload != nullptr) {
      // With its length known the body goes out plainly, as the engine reads
      // an archive best, rather than chunked.
      set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(upload_length));
      set(CURLOPT_READFUNCTION, on_read);
      set(CURLOPT_READDATA, &exchange);
    } else if (request.body || request.method == "POST") {
      // A known length, zero included: the engine refuses a chunked start.
      const std::string empty;
      const std::string& body = request.body ? *request.body : empty;
      set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
      set(CURLOPT_COPYPOSTFIELDS, body.c_str());
    }
  }

  error_text[0] = '\0';
  CURLcode code = curl_easy_perform(curl);
  if (exchange.sink_failure) std::rethrow_exception(exchange.sink_failure);
  if (code == CURLE_ABORTED_BY_CALLBACK && interrupt_requested()) throw Interrupted();
  if (code != CURLE_OK) {
    std::string detail = error_text[0] != '\0' ? error_text : curl_easy_strerror(code);
    long os_error = 0;
    curl_easy_getinfo(curl, CURLINFO_OS_ERRNO, &os_error);
    throw ConnectionError("", config.host,
                          failure_advice(config, code, static_cast<int>(os_error), detail));
  }
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  exchange.response.status = status;
  return std::move(exchange.response);
}

CurlTransport::CurlTransport(ClientConfig config) {
  ensure_curl_initialised();
  impl_ = std::make_unique<Impl>(std::move(config));
}

CurlTransport::~CurlTransport() = default;

Response CurlTransport::send(const Request& request) { return impl_->perform(request, nullptr); }

Response CurlTransport::send_streaming(const Request& request, const LineSink& sink) {
  LineSplitter splitter(sink);
  ByteSink feed = [&splitter](std::string_view bytes) { splitter.feed(bytes); };
  Response response = impl_->perform(request, &feed);
  // An error status's body was kept whole and never reached the splitter.
  if (response.status >= 200 && response.status < 300) splitter.finish();
  return response;
}

Response CurlTransport::send_streaming_bytes(const Request& request, const ByteSink& sink) {
  return impl_->perform(request, &sink, /*stall_limit=*/false);
}

Response CurlTransport::send_upload(const Request& request, std::uint64_t length,
                                    const ByteSource& body, const LineSink& sink) {
  LineSplitter splitter(sink);
  ByteSink feed = [&splitter](std::string_view bytes) { splitter.feed(bytes); };
  Response response = impl_->perform(request, &feed, /*stall_limit=*/true, &body, length);
  if (response.status >= 200 && response.status < 300) splitter.finish();
  return response;
}

std::string CurlTransport::endpoint() const { return impl_->config.host; }

}  // namespace bootstrap::docker
