#include "bootstrap/docker/docker_client.h"

#include <algorithm>
#include <cctype>
#include <limits>
#include <map>
#include <mutex>
#include <utility>

#include <nlohmann/json.hpp>

#include "bootstrap/base/base64.h"
#include "bootstrap/base/image_reference.h"
#include "bootstrap/base/text.h"
#include "bootstrap/docker/api_version.h"
#include "bootstrap/docker/command_split.h"
#include "bootstrap/docker/curl_transport.h"
#include "bootstrap/docker/engine_json.h"
#include "bootstrap/docker/errors.h"
#include "bootstrap/docker/log_demuxer.h"
#include "bootstrap/docker/swarm_codec.h"
#include "bootstrap/docker/transport_pool.h"

namespace bootstrap::docker {

namespace {

using json = nlohmann::json;
namespace ej = engine_json;

// Which "not found" a 404 means: only image lookups, pulls and creates answer
// 404 for a missing image, and callers react to that one by pulling.
enum class Subject { kOther, kImage };

std::string lower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

bool is_success(long status) { return status >= 200 && status < 400; }

const char* reason_phrase(long status) {
  static constexpr std::pair<long, const char*> kReasons[] = {
      {400, "Bad Request"},        {401, "Unauthorized"},
      {403, "Forbidden"},          {404, "Not Found"},
      {405, "Method Not Allowed"}, {406, "Not Acceptable"},
      {408, "Request Timeout"},    {409, "Conflict"},
      {410, "Gone"},               {412, "Precondition Failed"},
      {413, "Payload Too Large"},  {415, "Unsupported Media Type"},
      {429, "Too Many Requests"},  {500, "Internal Server Error"},
      {501, "Not Implemented"},    {502, "Bad Gateway"},
      {503, "Service Unavailable"}, {504, "Gateway Timeout"}};
  for (const auto& [code, reason] : kReasons)
    if (code == status) return reason;
  return "";
}

// The engine's own words for a failed request: the "message" of a JSON error
// body, else the body as it came, else the status.
std::string error_message(const Response& response) {
  std::optional<std::string> type = response.header("Content-Type");
  if (type) {
    std::string media = lower(base::trim(std::string_view(*type).substr(0, type->find(';'))));
    if (media == "application/json") {
      json parsed = json::parse(response.body, nullptr, /*allow_exceptions=*/false);
      if (parsed.is_object()) {
        auto message = parsed.find("message");
        if (message != parsed.end() && message->is_string()) {
          std::string text(base::trim(message->get<std::string>()));
          if (!text.empty()) return text;
        }
      }
    }
  }
  std::string raw(base::trim(response.body));
  if (!raw.empty()) return raw;
  std::string text = "request returned " + std::to_string(response.status);
  if (const char* reason = reason_phrase(response.status); *reason != '\0')
    text += std::string(" ") + reason;
  return text;
}

[[noreturn]] void throw_status(const std::string& context, long status, const std::string& message,
                               Subject subject) {
  if (status == 404) {
    if (subject == Subject::kImage) throw ImageNotFound(context, status, message);
    throw NotFound(context, status, message);
  }
  throw ApiError(context, status, message);
}

bool is_unreserved(unsigned char c) {
  return std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~';
}

std::string percent_encode(std::string_view text, std::string_view also_keep) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (is_unreserved(c) || also_keep.find(static_cast<char>(c)) != std::string_view::npos) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

// Names and references go into paths as they are where the engine's routes
// allow it ("library/redis:6.0.4"); anything else is percent-encoded.
std::string escape_path(std::string_view segment) { return percent_encode(segment, "/:@"); }

std::string escape_query(std::string_view value) { return percent_encode(value, ""); }

std::string required_text(const std::string& context, const json& object, const char* key) {
  std::string value = ej::text(object, key);
  if (value.empty()) throw EngineError(context + ": the engine's answer has no \"" + key + "\"");
  return value;
}

// A progress figure: a display detail, so one the engine garbles is left out
// rather than failing the pull.
std::optional<std::int64_t> progress_field(const json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end()) return std::nullopt;
  return ej::whole_number(*it, 0, std::numeric_limits<std::int64_t>::max());
}

// The engine lists names with a leading "/"; legacy links add names such as
// "/other/alias". The container's own name is the one without a further "/".
std::string container_name(const json& names) {
  std::string first;
  if (!names.is_array()) return first;
  for (const json& entry : names) {
    if (!entry.is_string()) continue;
    std::string name = entry.get<std::string>();
    if (!name.empty() && name.front() == '/') name.erase(0, 1);
    if (name.find('/') == std::string::npos) return name;
    if (first.empty()) first = name;
  }
  return first;
}

PullEvent pull_event(const json& line) {
  PullEvent event;
  event.id = ej::text(line, "id");
  event.status = ej::text(line, "status");
  auto detail = line.find("progressDetail");
  if (detail != line.end() && detail->is_object()) {
    event.current = progress_field(*detail, "current");
    event.total = progress_field(*detail, "total");
    event.units = ej::text(*detail, "units");
  }
  return event;
}

// A libcurl handle serves one request at a time; the pool gives each request
// in flight its own.
std::unique_ptr<Transport> curl_pool(ClientConfig config) {
  return std::make_unique<TransportPool>(
      [config] { return std::make_unique<CurlTransport>(config); });
}

// The error object that ends a stream whose status said success (a pull's,
// a load's): the first one is kept.
class StreamFailure {
 public:
  // Keeps `line` when it is an error object; returns whether it was one.
  bool note(const json& line, std::string_view text) {
    auto detail = line.find("errorDetail");
    auto error = line.find("error");
    if (detail == line.end() && error == line.end()) return false;
    if (failure_) return true;
    long status = 500;
    std::string message;
    if (detail != line.end() && detail->is_object()) {
      auto code = detail->find("code");
      std::optional<std::int64_t> n =
          code != detail->end() ? ej::whole_number(*code, 0, 999) : std::nullopt;
      if (n && *n >= 400 && *n < 600) status = static_cast<long>(*n);
      message = ej::text(*detail, "message");
    }
    if (message.empty()) message = ej::text(line, "error");
    if (message.empty()) message = "the engine reported a failure: " + std::string(text);
    failure_.emplace(status, std::move(message));
    return true;
  }
  // Throws the kept failure, if any, with `context` in front.
  void raise(const std::string& context, Subject subject) const {
    if (failure_) throw_status(context, failure_->first, failure_->second, subject);
  }

 private:
  std::optional<std::pair<long, std::string>> failure_;
};

}  // namespace

// Requests may come from several threads at once (the installer's --jobs):
// the transport is a pool, and what the client keeps between requests is
// guarded, the version and credentials apart from the counters so that the
// negotiation's own requests can be counted while it holds its lock.
struct DockerClient::State {
  std::unique_ptr<Transport> transport;
  std::mutex settings_mutex;
  std::optional<std::string> version;
  // X-Registry-Auth values login() accepted, by registry host.
  std::map<std::string, std::string> registry_auth;
  mutable std::mutex stats_mutex;
  ClientStats stats;

  // One transport call, counted and timed; a connection failure is reported
  // with `context` in front.
  Response exchange(const std::string& context, const Request& request,
                    const LineSink* sink = nullptr, const ByteSink* bytes = nullptr) {
    auto started = std::chrono::steady_clock::now();
    struct Tally {
      State& state;
      std::chrono::steady_clock::time_point started;
      ~Tally() {
        std::lock_guard<std::mutex> lock(state.stats_mutex);
        ClientStats& stats = state.stats;
        ++stats.requests;
        stats.engine_wait += std::chrono::duration_cast<std::chrono::nanoseconds>(
            std::chrono::steady_clock::now() - started);
      }
    } tally{*this, started};
    try {
      if (bytes != nullptr) return transport->send_streaming_bytes(request, *bytes);
      return sink != nullptr ? transport->send_streaming(request, *sink) : transport->send(request);
    } catch (const ConnectionError& e) {
      throw ConnectionError(context, e.endpoint(), e.detail());
    } catch (const MalformedAnswer& e) {
      throw MalformedAnswer(context + ": " + e.what());
    }
  }

  // exchange() for a request whose body is read from `source`.
  Response upload(const std::string& context, const Request& request, std::uint64_t length,
                  const ByteSource& source, const LineSink& sink) {
    {
      std::lock_guard<std::mutex> lock(stats_mutex);
      ++stats.requests;
    }
    try {
      return transport->send_upload(request, length, source, sink);
    } catch (const ConnectionError& e) {
      throw ConnectionError(context, e.endpoint(), e.detail());
    } catch (const MalformedAnswer& e) {
      throw MalformedAnswer(context + ": " + e.what());
    }
  }

  std::string negotiate() {
    const std::string context = "negotiate the API version";
    // An engine answers HEAD with 200, or 500 when unwell but still with the
    // header; any other status means HEAD is not routed (a proxy, an old
    // engine), so ask again with GET.
    Response ping = exchange(context, Request{"HEAD", "/_ping", std::nullopt, {}});
    if (ping.status != 200 && ping.status != 500)
      ping = exchange(context, Request{"GET", "/_ping", std::nullopt, {}});
    std::optional<ApiVersion> engine;
    if (std::optional<std::string> header = ping.header("Api-Version"))
      engine = parse_api_version(base::trim(*header));
    if (!engine) {
      if (!is_success(ping.status))
        throw_status(context, ping.status, error_message(ping), Subject::kOther);
      return kMinApiVersion;
    }
    return std::min(*engine, *parse_api_version(kMaxApiVersion)).str();
  }

  std::string api_version() {
    std::lock_guard<std::mutex> lock(settings_mutex);
    if (!version) version = negotiate();
    return *version;
  }

  // The credentials for the registry `reference` is fetched from, if
  // login() accepted some for it.
  std::optional<std::string> credentials(const std::string& reference) {
    std::lock_guard<std::mutex> lock(settings_mutex);
    auto found = registry_auth.find(base::registry_host(reference));
    if (found == registry_auth.end()) return std::nullopt;
    return found->second;
  }

  // Adds X-Registry-Auth for `reference`'s registry when there are
  // credentials for it.
  void authorize(Request& request, const std::string& reference) {
    if (std::optional<std::string> auth = credentials(reference))
      request.headers.emplace_back("X-Registry-Auth", *auth);
  }

  Request versioned(std::string method, const std::string& path,
                    std::optional<std::string> body = std::nullopt) {
    return Request{std::move(method), "/v" + api_version() + path, std::move(body), {}};
  }

  // Sends `request` and throws the error its status stands for.
  Response checked(const std::string& context, const Request& request,
                   Subject subject = Subject::kOther) {
    Response response = exchange(context, request);
    if (!is_success(response.status))
      throw_status(context, response.status, error_message(response), subject);
    return response;
  }

  Response call(const std::string& context, std::string method, const std::string& path,
                std::optional<std::string> body = std::nullopt, Subject subject = Subject::kOther) {
    return checked(context, versioned(std::move(method), path, std::move(body)), subject);
  }
};

DockerClient::DockerClient(std::unique_ptr<Transport> transport,
                           std::optional<std::string> pinned_version)
    : state_(std::make_unique<State>()) {
  state_->transport = std::move(transport);
  if (pinned_version) {
    std::string_view version = *pinned_version;
    if (version.starts_with('v')) version.remove_prefix(1);
    if (!parse_api_version(version))
      throw ConfigError("API version \"" + *pinned_version + "\" is not a version such as 1.41");
    state_->version = std::string(version);
  }
}

DockerClient::~DockerClient() = default;

std::unique_ptr<DockerClient> DockerClient::from_environment() {
  return from_config(ClientConfig::from_environment());
}

std::unique_ptr<DockerClient> DockerClient::from_environment(
    const std::function<std::unique_ptr<Transport>(std::unique_ptr<Transport>)>& wrap) {
  return from_config(ClientConfig::from_environment(), wrap);
}

std::unique_ptr<DockerClient> DockerClient::from_config(
    ClientConfig config,
    const std::function<std::unique_ptr<Transport>(std::unique_ptr<Transport>)>& wrap) {
  std::optional<std::string> pinned = config.api_version;
  std::unique_ptr<Transport> transport = curl_pool(std::move(config));
  if (wrap) transport = wrap(std::move(transport));
  return std::make_unique<DockerClient>(std::move(transport), std::move(pinned));
}

ClientStats DockerClient::stats() const {
  std::lock_guard<std::mutex> lock(state_->stats_mutex);
  return state_->stats;
}

std::string DockerClient::api_version() { return state_->api_version(); }

std::vector<NetworkRef> DockerClient::list_networks() {
  const std::string context = "list networks";
  json answer = ej::parse(context, state_->call(context, "GET", "/networks").body);
  std::vector<NetworkRef> networks;
  for (const json& entry : ej::require_list(context, answer))
    networks.push_back(NetworkRef{ej::text(entry, "Id"), ej::text(entry, "Name")});
  return networks;
}

std::vector<VolumeRef> DockerClient::list_volumes() {
  const std::string context = "list volumes";
  json answer = ej::parse(context, state_->call(context, "GET", "/volumes").body);
  std::vector<VolumeRef> volumes;
  auto list = answer.find("Volumes");
  if (list == answer.end() || list->is_null()) return volumes;  // the engine sends null for none
  for (const json& entry : ej::require_list(context, *list))
    volumes.push_back(VolumeRef{ej::text(entry, "Name"), ej::text(entry, "Driver")});
  return volumes;
}

std::vector<ContainerRef> DockerClient::list_containers(bool all) {
  const std::string context = "list containers";
  json answer = ej::parse(
      context,
      state_->call(context, "GET", all ? "/containers/json?all=1" : "/containers/json").body);
  std::vector<ContainerRef> containers;
  for (const json& entry : ej::require_list(context, answer)) {
    auto names = entry.find("Names");
    ContainerRef container{ej::text(entry, "Id"),
                           names != entry.end() ? container_name(*names) : "",
                           ej::text(entry, "Image"), ej::text(entry, "State"), {}};
    container.image_id = ej::text(entry, "ImageID");
    auto labels = entry.find("Labels");
    if (labels != entry.end() && labels->is_object())
      for (const auto& [key, value] : labels->items())
        if (value.is_string()) container.labels[key] = value.get<std::string>();
    // The listing names each network a container joined with its id, which
    // tells apart two networks of one name without a request per network.
    auto settings = entry.find("NetworkSettings");
    if (settings != entry.end() && settings->is_object()) {
      auto joined = settings->find("Networks");
      if (joined != settings->end() && joined->is_object())
        for (const json& endpoint : *joined) {
          std::string network_id = ej::text(endpoint, "NetworkID");
          if (!network_id.empty()) container.network_ids.push_back(network_id);
        }
    }
    containers.push_back(std::move(container));
  }
  return containers;
}

NetworkRef DockerClient::create_network(const std::string& name) {
  const std::string context = "create network " + name;
  json body = {{"Name", name}};
  // Engines before 25 (API 1.44) create a second network of the same name
  // unless asked not to; later ones always refuse and deprecate the flag.
  if (*parse_api_version(state_->api_version()) < ApiVersion{1, 44}) body["CheckDuplicate"] = true;
  json answer =
      ej::parse(context, state_->call(context, "POST", "/networks/create", ej::dump(body)).body);
  return NetworkRef{required_text(context, answer, "Id"), name};
}

void DockerClient::connect_network(const std::string& network_id, const std::string& container_id,
                                   const std::vector<std::string>& aliases) {
  const std::string context = "connect container " + container_id + " to network " + network_id;
  json body = {{"Container", container_id}, {"EndpointConfig", {{"Aliases", aliases}}}};
  state_->call(context, "POST", "/networks/" + escape_path(network_id) + "/connect", ej::dump(body));
}

void DockerClient::remove_network(const std::string& id) {
  const std::string context = "remove network " + id;
  const std::string target = "/networks/" + escape_path(id);
  try {
    state_->call(context, "DELETE", target);
    return;
  } catch (const ApiError& e) {
    if (e.status() != 403 || e.message().find("active endpoints") == std::string::npos) throw;
    // The engine now and then keeps the endpoint of a container it has
    // already removed, and then refuses to remove the network for good. A
    // forced disconnect by the endpoint's name is its own way to drop such an
    // endpoint. An endpoint whose container still exists is left alone and
    // named, since that container is not ours to cut off.
    json network = ej::parse("inspect network " + id,
                             state_->call("inspect network " + id, "GET", target).body);
    std::vector<std::string> attached;
    const auto endpoints = network.find("Containers");
    if (endpoints != network.end() && endpoints->is_object())
      for (const auto& [container_id, endpoint] : endpoints->items()) {
        const std::string name = ej::text(endpoint, "Name");
        try {
          state_->call("inspect container " + container_id, "GET",
                       "/containers/" + escape_path(container_id) + "/json");
          attached.push_back(name.empty() ? container_id : name);
          continue;
        } catch (const NotFound&) {
        }
        json body = {{"Container", name.empty() ? container_id : name}, {"Force", true}};
        state_->call("drop the stale endpoint " + name + " from network " + id, "POST",
                     target + "/disconnect", ej::dump(body));
      }
    if (!attached.empty()) {
      std::string names;
      for (const std::string& name : attached) names += (names.empty() ? "" : ", ") + name;
      throw ApiError(context, e.status(), e.message() + " (still attached: " + names + ")");
    }
  }
  state_->call(context, "DELETE", target);
}

VolumeRef DockerClient::create_volume(const std::string& name, const std::string& driver) {
  const std::string context = "create volume " + name;
  json body = {{"Name", name}, {"Driver", driver}};
  json answer =
      ej::parse(context, state_->call(context, "POST", "/volumes/create", ej::dump(body)).body);
  return VolumeRef{required_text(context, answer, "Name"), ej::text(answer, "Driver")};
}

VolumeRef DockerClient::get_volume(const std::string& name) {
  const std::string context = "get volume " + name;
  json answer =
      ej::parse(context, state_->call(context, "GET", "/volumes/" + escape_path(name)).body);
  return VolumeRef{required_text(context, answer, "Name"), ej::text(answer, "Driver")};
}

void DockerClient::remove_volume(const std::string& name) {
  state_->call("remove volume " + name, "DELETE", "/volumes/" + escape_path(name));
}

std::string DockerClient::get_image(const std::string& reference) {
  const std::string context = "inspect image " + reference;
  Response response = state_->call(context, "GET", "/images/" + escape_path(reference) + "/json",
                                   std::nullopt, Subject::kImage);
  return required_text(context, ej::parse(context, response.body), "Id");
}

void DockerClient::remove_image(const std::string& reference, bool force) {
  state_->call("remove image " + reference, "DELETE",
               "/images/" + escape_path(reference) + (force ? "?force=1" : "?force=0"),
               std::nullopt, Subject::kImage);
}

void DockerClient::tag_image(const std::string& source, const std::string& repository,
                             const std::string& tag) {
  state_->call("tag image " + source + " as " + repository + ":" + tag, "POST",
               "/images/" + escape_path(source) + "/tag?repo=" + escape_query(repository) +
                   "&tag=" + escape_query(tag),
               std::nullopt, Subject::kImage);
}

void DockerClient::pull_image(const std::string& repository, const std::string& tag,
                              const PullProgress& progress) {
  // An untagged pull names its tag (or digest) in the reference, else
  // "latest": without a tag the engine would pull every tag.
  const base::ImageReference reference =
      tag.empty() ? base::parse_image_reference(repository)
                  : base::ImageReference{repository, tag, tag.find(':') != std::string::npos};
  const std::string& repo = reference.repository;
  const std::string& version = reference.tag;
  const bool digest = reference.is_digest;
  const std::string context = "pull " + repo + (digest ? "@" : ":") + version;

  Request request = state_->versioned(
      "POST", "/images/create?fromImage=" + escape_query(repo) + "&tag=" + escape_query(version));
  state_->authorize(request, repo);

  // A failure after the engine has started streaming arrives as a line of its
  // own while the status stays 200. The stream is read to its end (it ends
  // right after that line) so that the connection stays usable.
  StreamFailure failure;
  LineSink sink = [&](std::string_view text) {
    json line = json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (!line.is_object() || failure.note(line, text)) return;
    if (progress) progress(pull_event(line));
  };
  Response response = state_->exchange(context, request, &sink);
  if (!is_success(response.status))
    throw_status(context, response.status, error_message(response), Subject::kImage);
  failure.raise(context, Subject::kImage);
}

void DockerClient::save_images(const std::vector<std::string>& references,
                               const ArchiveSink& sink) {
  std::string names;
  for (const std::string& reference : references)
    names += (names.empty() ? "" : ", ") + reference;
  const std::string context = "save images " + names;
  std::string query;
  for (const std::string& reference : references)
    query += (query.empty() ? "?names=" : "&names=") + escape_query(reference);
  Response response =
      state_->exchange(context, state_->versioned("GET", "/images/get" + query), nullptr, &sink);
  if (!is_success(response.status))
    throw_status(context, response.status, error_message(response), Subject::kImage);
}

void DockerClient::load_images(std::uint64_t length, const ArchiveSource& source) {
  const std::string context = "load images";
  Request request = state_->versioned("POST", "/images/load?quiet=1");
  request.headers.emplace_back("Content-Type", "application/x-tar");
  // As with a pull, a refused archive may only be said in the stream.
  StreamFailure failure;
  LineSink sink = [&](std::string_view text) {
    json line = json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (line.is_object()) failure.note(line, text);
  };
  Response response = state_->upload(context, request, length, source, sink);
  if (!is_success(response.status))
    throw_status(context, response.status, error_message(response), Subject::kOther);
  failure.raise(context, Subject::kOther);
}

ContainerRef DockerClient::create_container(const ContainerSpec& definition) {
  const std::string context = "create container " + definition.name;
  json body = {{"Image", definition.image}};
  if (definition.command) body["Cmd"] = split_command(*definition.command);
  if (definition.environment) {
    json env = json::array();
    for (const auto& [key, value] : *definition.environment) env.push_back(key + "=" + value);
    body["Env"] = std::move(env);
  }
  json host = json::object();
  if (definition.ports) {
    // Engine 20.10 publishes only exposed ports, so every bound port is
    // exposed as well.
    json exposed = json::object();
    json bindings = json::object();
    for (const auto& [container_port, host_port] : *definition.ports) {
      std::string key =
          container_port.find('/') == std::string::npos ? container_port + "/tcp" : container_port;
      exposed[key] = json::object();
      bindings[key].push_back({{"HostIp", ""}, {"HostPort", host_port}});
    }
    body["ExposedPorts"] = std::move(exposed);
    host["PortBindings"] = std::move(bindings);
  }
  if (definition.binds) {
    json binds = json::array();
    for (const Bind& bind : *definition.binds)
      binds.push_back(bind.source + ":" + bind.target + (bind.mode.empty() ? "" : ":" + bind.mode));
    host["Binds"] = std::move(binds);
  }
  if (definition.ulimits) {
    json ulimits = json::array();
    for (const Ulimit& limit : *definition.ulimits)
      ulimits.push_back({{"Name", limit.name}, {"Soft", limit.soft}, {"Hard", limit.hard}});
    host["Ulimits"] = std::move(ulimits);
  }
  if (definition.restart_policy) host["RestartPolicy"] = {{"Name", *definition.restart_policy}};
  if (definition.cpuset_cpus) host["CpusetCpus"] = *definition.cpuset_cpus;
  if (!host.empty()) body["HostConfig"] = std::move(host);
  if (!definition.labels.empty()) body["Labels"] = definition.labels;

  json answer =
      ej::parse(context, state_
                                ->call(context, "POST",
                                       "/containers/create?name=" + escape_query(definition.name),
                                       ej::dump(body), Subject::kImage)
                                .body);
  return ContainerRef{required_text(context, answer, "Id"), definition.name, "", "", {}};
}

void DockerClient::start_container(const std::string& id) {
  // 304 (already running) counts as success like every status below 400.
  state_->call("start container " + id, "POST", "/containers/" + escape_path(id) + "/start");
}

void DockerClient::stop_container(const std::string& id) {
  state_->call("stop container " + id, "POST", "/containers/" + escape_path(id) + "/stop");
}

void DockerClient::remove_container(const std::string& id) {
  state_->call("remove container " + id, "DELETE", "/containers/" + escape_path(id));
}

void DockerClient::rename_container(const std::string& id, const std::string& name) {
  state_->call("rename container " + id + " to " + name, "POST",
               "/containers/" + escape_path(id) + "/rename?name=" + escape_query(name));
}

ContainerDetails DockerClient::inspect_container(const std::string& id) {
  const std::string context = "inspect container " + id;
  json answer =
      ej::parse(context, state_->call(context, "GET", "/containers/" + escape_path(id) + "/json").body);
  if (!answer.is_object()) throw EngineError(context + ": the engine's answer is not an object");
  static const json none = json::object();
  auto object_at = [](const json& parent, const char* key) -> const json& {
    auto it = parent.find(key);
    return it != parent.end() && it->is_object() ? *it : none;
  };
  ContainerDetails details;
  details.status = ej::text(object_at(answer, "State"), "Status");
  details.image = ej::text(object_at(answer, "Config"), "Image");
  details.cpuset_cpus = ej::text(object_at(answer, "HostConfig"), "CpusetCpus");
  const json& settings = object_at(answer, "NetworkSettings");
  for (const auto& [network, endpoint] : object_at(settings, "Networks").items())
    details.networks.push_back(network);
  // A port the container exposes without publishing maps to null.
  for (const auto& [port, bindings] : object_at(settings, "Ports").items()) {
    if (!bindings.is_array()) continue;
    std::vector<std::string>& host_ports = details.published_ports[port];
    for (const json& binding : bindings)
      if (binding.is_object()) host_ports.push_back(ej::text(binding, "HostPort"));
  }
  const json& state = object_at(answer, "State");
  auto flag = [](const json& object, const char* key) {
    auto it = object.find(key);
    return it != object.end() && it->is_boolean() && it->get<bool>();
  };
  details.running = flag(state, "Running");
  details.restarting = flag(state, "Restarting");
  details.exit_code = static_cast<int>(ej::count(context, state, "ExitCode",
                                                     std::numeric_limits<int>::min(),
                                                     std::numeric_limits<int>::max())
                                           .value_or(0));
  details.started_at = ej::unix_time(ej::text(state, "StartedAt"));
  details.finished_at = ej::unix_time(ej::text(state, "FinishedAt"));
  details.health = ej::text(object_at(state, "Health"), "Status");
  details.restart_count = static_cast<int>(
      ej::count(context, answer, "RestartCount", 0, std::numeric_limits<int>::max())
          .value_or(0));
  details.tty = flag(object_at(answer, "Config"), "Tty");
  return details;
}

void DockerClient::container_logs(const std::string& id, const LogOptions& options,
                                  const LogSink& sink) {
  // Whether the stream is framed depends on how the container was created,
  // which only its inspection tells.
  const bool tty = inspect_container(id).tty;
  const std::string context = "read the log of container " + id;
  std::string query = "?stdout=1&stderr=1";
  query += options.tail ? "&tail=" + std::to_string(std::max(*options.tail, 0)) : "&tail=all";
  if (options.since) query += "&since=" + std::to_string(*options.since);
  if (options.follow) query += "&follow=1";
  if (options.timestamps) query += "&timestamps=1";
  LogDemuxer demuxer(tty, sink);
  ByteSink bytes = [&demuxer](std::string_view slice) { demuxer.feed(slice); };
  Response response = state_->exchange(
      context, state_->versioned("GET", "/containers/" + escape_path(id) + "/logs" + query),
      nullptr, &bytes);
  if (!is_success(response.status))
    throw_status(context, response.status, error_message(response), Subject::kOther);
  demuxer.finish();
}

void DockerClient::login(const std::string& username, const std::string& password,
                         const std::string& server) {
  // Docker's credential helpers hand out an identity token as the secret of
  // the user "<token>"; the engine takes it in a field of its own.
  json credentials = username == "<token>"
                         ? json{{"identitytoken", password}, {"serveraddress", server}}
                         : json{{"username", username}, {"password", password},
                                {"serveraddress", server}};
  std::string text = ej::dump(credentials);
  state_->call("log in" + (username == "<token>" ? std::string() : " as " + username) +
                   (server.empty() ? "" : " to " + server),
               "POST", "/auth", text);
  // Only credentials the engine accepted are kept; a refusal above leaves the
  // earlier ones, if any, in place. They go to their own registry only.
  std::lock_guard<std::mutex> lock(state_->settings_mutex);
  state_->registry_auth[base::registry_host(server.empty() ? "" : server + "/")] =
      base::base64url_encode(text);
}

std::string DockerClient::push_image(const std::string& repository, const std::string& tag) {
  const std::string context = "push " + repository + ":" + tag;
  Request request = state_->versioned(
      "POST", "/images/" + escape_path(repository) + "/push?tag=" + escape_query(tag));
  // The engine wants the header even for a registry that needs no login;
  // "{}" says "no credentials".
  if (std::optional<std::string> auth = state_->credentials(repository))
    request.headers.emplace_back("X-Registry-Auth", *auth);
  else
    request.headers.emplace_back("X-Registry-Auth", base::base64url_encode("{}"));
  // As with a pull, a refusal after the start arrives as a line of its own.
  // The digest comes in the stream's "aux" object.
  StreamFailure failure;
  std::string digest;
  LineSink sink = [&](std::string_view text) {
    json line = json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (!line.is_object() || failure.note(line, text)) return;
    auto aux = line.find("aux");
    if (aux != line.end() && aux->is_object() && !ej::text(*aux, "Digest").empty())
      digest = ej::text(*aux, "Digest");
  };
  Response response = state_->exchange(context, request, &sink);
  if (!is_success(response.status))
    throw_status(context, response.status, error_message(response), Subject::kImage);
  failure.raise(context, Subject::kOther);
  if (digest.empty()) throw EngineError(context + ": the engine named no digest for the pushed image");
  return digest;
}

EngineVersion DockerClient::version() {
  const std::string context = "engine version";
  json answer = ej::parse(context, version_document());
  if (!answer.is_object()) throw EngineError(context + ": the engine's answer is not an object");
  EngineVersion result{ej::text(answer, "Version"), ej::text(answer, "ApiVersion")};
  // Podman answers the same routes; only its component list tells it apart.
  auto components = answer.find("Components");
  if (components != answer.end() && components->is_array())
    for (const json& component : *components)
      if (component.is_object() && ej::text(component, "Name") == "Podman Engine")
        result.podman = true;
  return result;
}

std::string DockerClient::version_document() {
  return std::string(base::trim(state_->call("engine version", "GET", "/version").body));
}

void DockerClient::ping() {
  state_->exchange("ping the engine", Request{"GET", "/_ping", std::nullopt, {}});
}

EngineInfo DockerClient::info() {
  const std::string context = "engine info";
  json answer = ej::parse(context, state_->call(context, "GET", "/info").body);
  if (!answer.is_object()) throw EngineError(context + ": the engine's answer is not an object");
  EngineInfo info;
  info.ncpu = static_cast<int>(
      ej::count(context, answer, "NCPU", 0, std::numeric_limits<int>::max()).value_or(0));
  info.mem_total =
      ej::count(context, answer, "MemTotal", 0, std::numeric_limits<std::int64_t>::max())
          .value_or(0);
  info.server_version = ej::text(answer, "ServerVersion");
  info.operating_system = ej::text(answer, "OperatingSystem");
  info.docker_root_dir = ej::text(answer, "DockerRootDir");
  return info;
}

std::string DockerClient::container_document(const std::string& id) {
  return std::string(base::trim(
      state_->call("inspect container " + id, "GET", "/containers/" + escape_path(id) + "/json").body));
}

std::string DockerClient::network_document(const std::string& id) {
  return std::string(
      base::trim(state_->call("inspect network " + id, "GET", "/networks/" + escape_path(id)).body));
}

std::string DockerClient::volume_document(const std::string& name) {
  return std::string(
      base::trim(state_->call("inspect volume " + name, "GET", "/volumes/" + escape_path(name)).body));
}

std::string DockerClient::info_document() {
  return std::string(base::trim(state_->call("engine info", "GET", "/info").body));
}

// --- Swarm mode --------------------------------------------------------------

SwarmState DockerClient::swarm_state() {
  return read_swarm_state("engine info", info_document());
}

std::vector<SwarmNode> DockerClient::list_nodes() {
  const std::string context = "list swarm nodes";
  return read_nodes(context, state_->call(context, "GET", "/nodes").body);
}

void DockerClient::update_node(const SwarmNode& node) {
  state_->call("update swarm node " + (node.hostname.empty() ? node.id : node.hostname), "POST",
               "/nodes/" + escape_path(node.id) + "/update?version=" + std::to_string(node.version),
               node_spec_body(node));
}

NetworkRef DockerClient::create_overlay_network(const std::string& name,
                                                const std::map<std::string, std::string>& labels) {
  const std::string context = "create network " + name;
  json body = {{"Name", name}, {"Driver", "overlay"}, {"Attachable", true}, {"Labels", labels}};
  if (*parse_api_version(state_->api_version()) < ApiVersion{1, 44}) body["CheckDuplicate"] = true;
  json answer =
      ej::parse(context, state_->call(context, "POST", "/networks/create", ej::dump(body)).body);
  return NetworkRef{required_text(context, answer, "Id"), name};
}

std::string DockerClient::create_service(const ServiceSpec& spec) {
  const std::string context = "create service " + spec.name;
  // The manager hands the credentials to the nodes that run the tasks.
  Request request = state_->versioned("POST", "/services/create", service_spec_body(spec));
  state_->authorize(request, spec.image);
  json answer = ej::parse(context, state_->checked(context, request).body);
  return required_text(context, answer, "ID");
}

std::vector<ServiceRef> DockerClient::list_services(const std::string& label_key) {
  const std::string context = "list services";
  json filter = {{"label", {label_key}}};
  return read_services(
      context,
      state_->call(context, "GET", "/services?filters=" + escape_query(ej::dump(filter))).body);
}

ServiceRef DockerClient::inspect_service(const std::string& id) {
  const std::string context = "inspect service " + id;
  return read_service(context, state_->call(context, "GET", "/services/" + escape_path(id)).body);
}

void DockerClient::update_service(const std::string& id, std::uint64_t version,
                                  const ServiceSpec& spec) {
  Request request = state_->versioned(
      "POST", "/services/" + escape_path(id) + "/update?version=" + std::to_string(version),
      service_spec_body(spec));
  state_->authorize(request, spec.image);
  state_->checked("update service " + spec.name, request);
}

void DockerClient::remove_service(const std::string& id) {
  state_->call("remove service " + id, "DELETE", "/services/" + escape_path(id));
}

std::vector<TaskRef> DockerClient::list_tasks(const std::string& service) {
  const std::string context = "list the tasks of service " + service;
  json filter = {{"service", {service}}};
  return read_tasks(
      context,
      state_->call(context, "GET", "/tasks?filters=" + escape_query(ej::dump(filter))).body);
}

std::string DockerClient::image_digest(const std::string& reference) {
  const std::string context = "ask the registry for " + reference;
  Request request = state_->versioned("GET", "/distribution/" + escape_path(reference) + "/json");
  state_->authorize(request, reference);
  json answer = ej::parse(context, state_->checked(context, request, Subject::kImage).body);
  auto descriptor = answer.find("Descriptor");
  if (descriptor == answer.end() || !descriptor->is_object())
    throw EngineError(context + ": the engine's answer has no \"Descriptor\"");
  return required_text(context, *descriptor, "digest");
}

}  // namespace bootstrap::docker
