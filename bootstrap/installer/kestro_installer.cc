#include "bootstrap/installer/kestro_installer.h"

#include <charconv>
#include <vector>

#include "bootstrap/engine/docker_client.h"
#include "bootstrap/engine/errors.h"
#include "bootstrap/installer/console.h"

namespace bootstrap::installer {

KestroInstaller::KestroInstaller(std::string application_name_in, const ServiceList& services_in)
    : KestroInstaller(std::move(application_name_in), services_in,
                      std::shared_ptr<engine::Client>(engine::DockerClient::from_environment()),
                      host::real_host()) {}

KestroInstaller::KestroInstaller(std::string application_name_in, const ServiceList& services_in,
                                 std::shared_ptr<engine::Client> client_in, host::Host& host)
    : application_name(std::move(application_name_in)),
      services(services_in),
      client(std::move(client_in)),
      host_(host) {
  take_snapshot();
}

void KestroInstaller::take_snapshot() {
  // put() keeps the position of the first entry of a name and the value of
  // the last, so a name the engine lists twice maps to the later object.
  for (engine::NetworkRef& n : client->list_networks()) networks.put(n.name, n);
  for (engine::VolumeRef& v : client->list_volumes()) volumes.put(v.name, v);
  for (engine::ContainerRef& c : client->list_containers(true)) containers.put(c.name, c);
}

unsigned KestroInstaller::engine_cpu_count() {
  if (!engine_cpus_) {
    // The containers run on the engine's host, which need not be ours
    // (DOCKER_HOST may name another machine), so its count comes first.
    try {
      engine::EngineInfo info = client->info();
      if (info.ncpu > 0) engine_cpus_ = static_cast<unsigned>(info.ncpu);
    } catch (const engine::EngineError&) {
    }
    if (!engine_cpus_) engine_cpus_ = host_.system.cpu_count();
  }
  return *engine_cpus_;
}

namespace {

struct CpuRange {
  long first;
  long last;
};

// Parses "0-3,5,7-8". Returns false for anything else, which is then left for
// the engine to judge.
bool parse_cpu_list(const std::string& text, std::vector<CpuRange>& out) {
  auto number = [](const std::string& s, long& value) {
    if (s.empty()) return false;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    return ec == std::errc() && end == s.data() + s.size() && value >= 0;
  };
  std::size_t start = 0;
  while (true) {
    std::size_t comma = text.find(',', start);
    std::string item = text.substr(start, comma == std::string::npos ? std::string::npos
                                                                     : comma - start);
    std::size_t dash = item.find('-');
    CpuRange range{};
    if (dash == std::string::npos) {
      if (!number(item, range.first)) return false;
      range.last = range.first;
    } else if (!number(item.substr(0, dash), range.first) ||
               !number(item.substr(dash + 1), range.last)) {
      return false;
    }
    out.push_back(range);
    if (comma == std::string::npos) return true;
    start = comma + 1;
  }
}

std::string all_cpus(unsigned count) {
  return count <= 1 ? "0" : "0-" + std::to_string(count - 1);
}

}  // namespace

std::string KestroInstaller::effective_cpuset(const ServiceDescription& service) {
  const std::string& asked = *service.cpuset;
  std::string text = asked;
  bool open_ended = text.size() >= 2 && text.compare(text.size() - 2, 2, "-x") == 0;

  unsigned count = engine_cpu_count();
  if (open_ended) {
    std::string last = std::to_string(static_cast<long>(count) - 1);
    std::string expanded;
    for (char c : text) {
      if (c == 'x')
        expanded += last;
      else
        expanded += c;
    }
    text = expanded;
  }

  // A set written for a bigger machine names CPUs this one lacks, and the
  // engine refuses such a container outright; keep what exists instead. A
  // range that runs backwards within the CPUs that exist is left for the
  // engine to refuse.
  std::vector<CpuRange> ranges;
  if (!parse_cpu_list(text, ranges)) return text;
  const long last_cpu = static_cast<long>(count) - 1;
  bool changed = false;
  std::string clamped;
  for (CpuRange r : ranges) {
    if (r.first > last_cpu) {
      changed = true;
      continue;
    }
    if (r.last > last_cpu) {
      r.last = last_cpu;
      changed = true;
    }
    if (!clamped.empty()) clamped += ',';
    clamped += std::to_string(r.first);
    if (r.last != r.first) clamped += "-" + std::to_string(r.last);
  }
  if (!changed) return text;
  if (clamped.empty()) clamped = all_cpus(count);
  say("cpu set " + asked + " of " + service.name + " needs CPUs this host lacks (it has " +
      std::to_string(count) + "); using " + clamped);
  return clamped;
}

}  // namespace bootstrap::installer
