#include "bootstrap/installer/compose_export.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "bootstrap/base/fd.h"
#include "bootstrap/base/new_file.h"
#include "bootstrap/base/text.h"
#include "bootstrap/base/utf8.h"
#include "bootstrap/docker/command_split.h"
#include "bootstrap/installer/registry.h"
#include "bootstrap/docker/errors.h"
#include "bootstrap/installer/layout.h"
#include "bootstrap/installer/swarm_deployment.h"
#include "bootstrap/installer/swarm_placement.h"

namespace bootstrap::installer {

namespace {

std::string hex_escape(const char* prefix, unsigned value, int digits) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%s%0*X", prefix, digits, value);
  return buffer;
}

// A small YAML writer: lines at an indentation, two blanks a level.
class Yaml {
 public:
  void line(int level, const std::string& text) {
    out_ += std::string(static_cast<std::size_t>(level) * 2, ' ') + text + "\n";
  }
  std::string str() const { return out_; }

 private:
  std::string out_;
};

// ["a", "b"] with each item quoted as a Compose value.
std::string flow_list(const std::vector<std::string>& items) {
  std::string out = "[";
  for (std::size_t i = 0; i < items.size(); ++i) out += (i ? ", " : "") + compose_value(items[i]);
  return out + "]";
}

// The short name the file gives an engine object ("lumadex-es-net" ->
// "es-net"); a host path stays as it is.
std::string short_name(const std::vector<LayoutObject>& objects, const std::string& name) {
  for (const LayoutObject& o : objects)
    if (o.name == name) return o.short_name;
  return name;
}

// A service of a stack file, written from the ServiceSpec that
// `install --swarm` sends, so that the two cannot drift apart.
void write_stack_service(Yaml& y, const Layout& layout,
                         const ServiceDescription& s, const ExportOptions& options) {
  const docker::ServiceSpec spec = swarm_service_spec(layout, s, SwarmOptions{});
  y.line(1, yaml_quote(s.name) + ":");
  std::string image = spec.image;
  if (options.version && image == options.application_image) image += ":" + *options.version;
  image = installer::registry_reference(image, options.registry);
  y.line(2, "image: " + compose_value(image));
  if (spec.args) y.line(2, "command: " + flow_list(*spec.args));
  if (!spec.env.empty()) {
    y.line(2, "environment:");
    for (const std::string& entry : spec.env) {
      const std::size_t equals = entry.find('=');
      y.line(3, yaml_quote(entry.substr(0, equals)) + ": " + compose_value(entry.substr(equals + 1)));
    }
  }
  if (!spec.mounts.empty()) {
    y.line(2, "volumes:");
    for (const docker::ServiceMount& m : spec.mounts)
      y.line(3, "- " + compose_value(short_name(layout.volumes(), m.source) + ":" + m.target +
                                     (m.read_only ? ":ro" : "")));
  }
  if (!spec.networks.empty()) {
    y.line(2, "networks:");
    for (const docker::ServiceNetwork& n : spec.networks) {
      std::vector<std::string> aliases = n.aliases;
      // A stack gives every service its short name on its networks already.
      std::erase(aliases, s.name);
      const std::string name = yaml_quote(short_name(layout.networks(), n.target));
      if (aliases.empty()) {
        y.line(3, name + ": {}");
      } else {
        y.line(3, name + ":");
        y.line(4, "aliases: " + flow_list(aliases));
      }
    }
  }
  if (!spec.ports.empty()) {
    y.line(2, "ports:");
    for (const docker::ServicePort& p : spec.ports) {
      y.line(3, "- target: " + std::to_string(p.target));
      y.line(4, "published: " + std::to_string(p.published));
      y.line(4, "protocol: " + yaml_quote(p.protocol));
      y.line(4, "mode: " + yaml_quote(p.mode));
    }
  }
  if (!spec.ulimits.empty()) {
    y.line(2, "ulimits:");
    for (const docker::Ulimit& u : spec.ulimits) {
      y.line(3, yaml_quote(u.name) + ":");
      y.line(4, "soft: " + std::to_string(u.soft));
      y.line(4, "hard: " + std::to_string(u.hard));
    }
  }
  y.line(2, "deploy:");
  y.line(3, "replicas: 1");
  y.line(3, "endpoint_mode: " + yaml_quote(spec.endpoint_mode));
  y.line(3, "restart_policy:");
  y.line(4, "condition: " + yaml_quote(spec.restart_condition));
  if (spec.update_order == "start-first" && !spec.ports.empty())
    y.line(3, "# start-first needs a second node where the port is free; stop-first on one node");
  y.line(3, "update_config:");
  y.line(4, "order: " + yaml_quote(spec.update_order));
  if (!spec.constraints.empty()) {
    std::vector<std::string> quoted;
    for (const std::string& c : spec.constraints) quoted.push_back(yaml_quote(c));
    y.line(3, "placement:");
    y.line(4, "constraints: [" + base::join(quoted, ", ") + "]");
  }
  if (spec.nano_cpus > 0) {
    y.line(3, "resources:");
    y.line(4, "limits:");
    y.line(5, "cpus: \"" + std::to_string(spec.nano_cpus / 1'000'000'000) + "\"");
  }
}

void write_service(Yaml& y, const Layout& layout,
                   const ServiceDescription& s, const ExportOptions& options) {
  const ContainerDefinition d = layout.definition(s);
  const docker::ContainerSpec& request = d.request;
  y.line(1, yaml_quote(s.name) + ":");
  if (s.name != options.unnamed_service)
    y.line(2, "container_name: " + compose_value(request.name));
  std::string image = request.image;
  if (options.version && image == options.application_image) image += ":" + *options.version;
  image = installer::registry_reference(image, options.registry);
  y.line(2, "image: " + compose_value(image));
  if (request.command) y.line(2, "command: " + flow_list(docker::split_command(*request.command)));
  if (request.environment) {
    if (request.environment->empty()) y.line(2, "environment: {}");
    else y.line(2, "environment:");
    for (const auto& [name, value] : *request.environment)
      y.line(3, yaml_quote(name) + ": " + compose_value(value));
  }
  if (request.binds) {
    if (d.mounts.empty()) y.line(2, "volumes: []");
    else y.line(2, "volumes:");
    // The installer mounts every entry read-write and ignores a third part.
    for (const VolumeEntry& v : d.mounts)
      y.line(3, "- " + compose_value(v.source + ":" + v.target));
  }
  if (!d.networks.empty()) {
    y.line(2, "networks:");
    for (const NetworkJoin& join : d.networks) {
      y.line(3, yaml_quote(join.short_name) + ":");
      y.line(4, "aliases: " + flow_list(join.aliases));
    }
  } else {
    y.line(2, "network_mode: \"bridge\"");
  }
  if (request.ports && !request.ports->empty()) {
    y.line(2, "ports:");
    for (const auto& [container_port, host_port] : *request.ports)
      y.line(3, "- " + compose_value(host_port + ":" + container_port));
  }
  if (request.ulimits && !request.ulimits->empty()) {
    y.line(2, "ulimits:");
    for (const docker::Ulimit& u : *request.ulimits) {
      y.line(3, yaml_quote(u.name) + ":");
      y.line(4, "soft: " + std::to_string(u.soft));
      y.line(4, "hard: " + std::to_string(u.hard));
    }
  }
  if (request.cpuset_cpus) y.line(2, "cpuset: " + compose_value(*request.cpuset_cpus));
  if (request.restart_policy) y.line(2, "restart: " + compose_value(*request.restart_policy));
}

// The heading of a stack file: how to deploy it, the node labels to set
// first, and what a swarm service cannot be given.
void write_swarm_heading(Yaml& y, const Layout& layout, const ExportOptions& options) {
  const std::string& application = layout.application();
  y.line(0, "# " + application + " as a stack file for a Docker swarm, written by `bootstrap export --swarm`.");
  y.line(0, "# Services that keep data in a named volume run only on the node labelled for");
  y.line(0, "# them, since a volume stays on the node that made it. On a manager, label the");
  y.line(0, "# node (NODE, as `docker node ls` names it) that is to hold each one's data:");
  for (const ServiceDescription& s : layout.services()) {
    ContainerDefinition d;
    try {
      d = layout.definition(s);
    } catch (const std::invalid_argument& e) {
      throw std::invalid_argument("service " + s.name + ": " + e.what());
    }
    if (keeps_data(d))
      y.line(0, "#   docker node update --label-add " + placement_label(layout, s.name) +
                    "=true NODE");
  }
  y.line(0, "# then: docker stack deploy -c FILE " + application);
  y.line(0, "# Not carried over, since a swarm service cannot have them: container names");
  y.line(0, "# (the swarm names each task); CPU sets, replaced by a limit of as many CPUs");
  y.line(0, "# as each set holds on " + std::to_string(options.cpu_count) + " CPUs" +
                (options.cpu_count_source.empty() ? "" : " (" + options.cpu_count_source + ")") +
                ";");
  y.line(0, "# the engine's bridge network (a service without networks joins the stack's own).");
  y.line(0, "# Services are found by name through DNS round robin and ports are published");
  y.line(0, "# on the node that runs the task: neither needs the kernel's IPVS, which the");
  y.line(0, "# routing mesh and virtual service addresses do.");
}

}  // namespace

std::string yaml_quote(const std::string& text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size();) {
    std::size_t length = 1;
    std::optional<char32_t> cp = base::decode_utf8(text, i, length);
    if (!cp)
      throw std::invalid_argument("text is not valid UTF-8 at byte " + std::to_string(i) + ": " +
                                  text);
    switch (*cp) {
      case '\\': out += "\\\\"; break;
      case '"': out += "\\\""; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      case 0x85: out += "\\N"; break;
      case 0x2028: out += "\\L"; break;
      case 0x2029: out += "\\P"; break;
      default:
        // Characters a YAML reader refuses to see raw: C0 controls, DEL, C1
        // controls, the non-characters U+FFFE and U+FFFF; and the byte-order
        // mark, which a reader may drop.
        if (*cp < 0x20 || (*cp >= 0x7F && *cp <= 0x9F))
          out += hex_escape("\\x", static_cast<unsigned>(*cp), 2);
        else if (*cp == 0xFEFF || *cp == 0xFFFE || *cp == 0xFFFF)
          out += hex_escape("\\u", static_cast<unsigned>(*cp), 4);
        else
          out.append(text, i, length);
    }
    i += length;
  }
  return out + "\"";
}

std::string compose_value(const std::string& text) {
  std::string doubled;
  for (char c : text) doubled += c == '$' ? std::string("$$") : std::string(1, c);
  return yaml_quote(doubled);
}

std::string compose_file(const std::string& application, const ServiceList& services,
                         const ExportOptions& options) {
  Yaml y;
  const Layout layout(application, services, options.cpu_count);
  if (options.swarm) {
    write_swarm_heading(y, layout, options);
    // docker stack deploy wants a version; 3.8 has every key written here.
    y.line(0, "version: \"3.8\"");
  } else {
    y.line(0, "# " + application + " as a Compose file, written by `bootstrap export`.");
    y.line(0, "# CPU sets resolved for " + std::to_string(options.cpu_count) + " CPUs" +
                  (options.cpu_count_source.empty() ? "" : " (" + options.cpu_count_source + ")") +
                  ".");
  }

  if (options.unnamed_service)
    y.line(0, "# Service " + *options.unnamed_service +
                  " has no container_name, so Compose can scale it.");

  y.line(0, "services:");
  for (const ServiceDescription& s : services) {
    try {
      if (options.swarm)
        write_stack_service(y, layout, s, options);
      else
        write_service(y, layout, s, options);
    } catch (const std::invalid_argument& e) {
      throw std::invalid_argument("service " + s.name + ": " + e.what());
    }
  }
  if (!layout.volumes().empty()) {
    y.line(0, "volumes:");
    for (const LayoutObject& v : layout.volumes()) {
      y.line(1, yaml_quote(v.short_name) + ":");
      y.line(2, "name: " + compose_value(v.name));
    }
  }
  if (!layout.networks().empty()) {
    y.line(0, "networks:");
    for (const LayoutObject& n : layout.networks()) {
      y.line(1, yaml_quote(n.short_name) + ":");
      y.line(2, "name: " + compose_value(n.name));
      if (options.swarm) {
        // Attachable, so that a container started by hand can join to look
        // into the product, as on one host.
        y.line(2, "driver: \"overlay\"");
        y.line(2, "attachable: true");
      }
    }
  }
  return y.str();
}

unsigned export_cpu_count(std::optional<unsigned> asked, const std::function<int()>& engine_ncpu,
                          unsigned host_count, std::string& source) {
  if (asked) {
    source = "--cpus";
    return *asked;
  }
  try {
    int ncpu = engine_ncpu();
    if (ncpu > 0) {
      source = "the engine's count";
      return static_cast<unsigned>(ncpu);
    }
    source = "this host's count: the engine did not say";
  } catch (const docker::EngineError&) {
    source = "this host's count: the engine did not answer";
  }
  return host_count > 0 ? host_count : 1;
}

void write_export(const std::filesystem::path& path, const std::string& text, bool force) {
  const std::string context = "write " + path.string();
  try {
    base::NewFile file(path, 0644);
    if (int error = base::write_all(file.fd(), text); error != 0)
      throw std::runtime_error(std::strerror(error));
    file.put_in_place(force);
  } catch (const base::TargetExists&) {
    throw std::runtime_error(context + ": the file exists (--force replaces it)");
  } catch (const std::runtime_error& e) {
    throw std::runtime_error(context + ": " + e.what());
  }
}

}  // namespace bootstrap::installer
