#include "bench/compose_file.h"

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "bootstrap/docker/docker_client.h"

namespace kestro::bench {

namespace installer = bootstrap::installer;

namespace {

// A YAML double-quoted scalar, with "$" doubled so Compose does not
// interpolate it.
std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '$': out += "$$"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7f) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\x%02x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

void add_unique(std::vector<std::string>& names, const std::string& name) {
  if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
}

}  // namespace

std::string compose_file(const std::string& application, const installer::ServiceList& services,
                         const ComposeOptions& options) {
  std::ostringstream y;
  y << "# The " << application << " catalogue for docker-compose, written by kestro_bench.\n"
    << "# CPU sets resolved for " << options.cpu_count << " CPUs.\n";
  if (options.unnamed_service)
    y << "# Service " << *options.unnamed_service << " has no container_name, so it can scale.\n";
  y << "services:\n";

  std::vector<std::string> volume_names;
  std::vector<std::string> network_names;
  for (const installer::ServiceDescription& s : services) {
    y << "  " << s.name << ":\n";
    if (s.name != options.unnamed_service)
      y << "    container_name: " << quoted(installer::qualified_name(application, s.name)) << "\n";
    y << "    image: " << quoted(s.image) << "\n";
    if (s.command) {
      y << "    command: [";
      bool first = true;
      for (const std::string& word : bootstrap::docker::split_command(*s.command)) {
        y << (first ? "" : ", ") << quoted(word);
        first = false;
      }
      y << "]\n";
    }
    if (s.environment) {
      y << "    environment:\n";
      for (const auto& [k, v] : *s.environment) y << "      - " << quoted(k + "=" + v) << "\n";
    }
    if (s.ulimits) {
      y << "    ulimits:\n";
      for (const installer::UlimitEntry& u : *s.ulimits)
        y << "      " << u.name << ": {soft: " << u.soft << ", hard: " << u.hard << "}\n";
    }
    if (s.ports) {
      y << "    ports:\n";
      for (const auto& [container_port, host_port] : *s.ports)
        y << "      - " << quoted(host_port + ":" + container_port) << "\n";
    }
    if (s.volumes) {
      // One mount per source; a later entry replaces an earlier one in place.
      std::vector<std::pair<std::string, std::string>> mounts;
      for (const std::string& entry : *s.volumes) {
        installer::VolumeEntry v = installer::parse_volume_entry(entry);
        if (!v.is_host_path()) add_unique(volume_names, v.source);
        auto same = std::find_if(mounts.begin(), mounts.end(),
                                 [&](const auto& m) { return m.first == v.source; });
        if (same != mounts.end())
          same->second = v.target;
        else
          mounts.emplace_back(v.source, v.target);
      }
      y << "    volumes:\n";
      for (const auto& [source, target] : mounts)
        y << "      - " << quoted(source + ":" + target + ":rw") << "\n";
    }
    if (s.networks) {
      y << "    networks:\n";
      for (const std::string& n : *s.networks) {
        add_unique(network_names, n);
        y << "      " << n << ":\n        aliases: [" << quoted(s.name) << "]\n";
      }
    } else {
      y << "    network_mode: bridge\n";
    }
    if (s.restart) y << "    restart: " << quoted(*s.restart) << "\n";
    if (s.cpuset)
      y << "    cpuset: " << quoted(installer::resolve_cpuset(*s.cpuset, options.cpu_count).cpus)
        << "\n";
  }
  if (!network_names.empty()) {
    y << "networks:\n";
    for (const std::string& n : network_names)
      y << "  " << n << ":\n    name: " << quoted(installer::qualified_name(application, n)) << "\n";
  }
  if (!volume_names.empty()) {
    y << "volumes:\n";
    for (const std::string& v : volume_names)
      y << "  " << v << ":\n    name: " << quoted(installer::qualified_name(application, v)) << "\n";
  }
  return y.str();
}

}  // namespace kestro::bench
