#include "bootstrap/app/compose_export.h"

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
#include "bootstrap/base/utf8.h"
#include "bootstrap/docker/docker_client.h"
#include "bootstrap/docker/errors.h"
#include "bootstrap/host/host.h"
#include "bootstrap/installer/layout.h"
#include "bootstrap/installer/lumadex/lumadex_installer.h"
#include "bootstrap/installer/swarm_placement.h"

namespace bootstrap::app {

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

// A container port as a stack file's long syntax wants it: the number and
// the protocol ("5000/udp" gives 5000 and udp). Throws std::invalid_argument.
std::pair<std::string, std::string> port_and_protocol(const std::string& port) {
  const std::size_t slash = port.find('/');
  const std::string number = port.substr(0, slash);
  const std::string protocol = slash == std::string::npos ? "tcp" : port.substr(slash + 1);
  if (number.empty() || number.size() > 5 ||
      number.find_first_not_of("0123456789") != std::string::npos)
    throw std::invalid_argument("port \"" + port + "\" is not a number a swarm can publish");
  return {number, protocol};
}

// A swarm restart condition for a restart policy: the engine's "always" and
// "unless-stopped" both mean "any" (a swarm has no stopping by hand), and no
// policy is the engine's "no", where a swarm would restart.
std::string restart_condition(const std::optional<std::string>& policy) {
  if (!policy || *policy == "no") return "none";
  if (policy->rfind("on-failure", 0) == 0) return "on-failure";
  return "any";
}

// What a swarm service adds to the container: the stack's deploy section,
// and its ports published on the node that runs the task.
void write_swarm_part(Yaml& y, const installer::Layout& layout,
                      const installer::ContainerDefinition& d) {
  const docker::ContainerSpec& request = d.request;
  if (request.ports && !request.ports->empty()) {
    y.line(2, "ports:");
    for (const auto& [container_port, host_port] : *request.ports) {
      const auto [target, protocol] = port_and_protocol(container_port);
      const std::string published = port_and_protocol(host_port).first;
      y.line(3, "- target: " + target);
      y.line(4, "published: " + published);
      y.line(4, "protocol: " + yaml_quote(protocol));
      y.line(4, "mode: \"host\"");
    }
  }
  const bool pinned = installer::keeps_data(d);
  y.line(2, "deploy:");
  y.line(3, "replicas: 1");
  y.line(3, "endpoint_mode: \"dnsrr\"");
  y.line(3, "restart_policy:");
  y.line(4, "condition: " + yaml_quote(restart_condition(request.restart_policy)));
  // A task that keeps data must be gone before its successor opens the same
  // volume; one without data can be replaced while it still serves.
  if (!pinned && request.ports && !request.ports->empty())
    y.line(3, "# start-first needs a second node where the port is free; stop-first on one node");
  y.line(3, "update_config:");
  y.line(4, std::string("order: ") + (pinned ? "\"stop-first\"" : "\"start-first\""));
  if (pinned) {
    y.line(3, "placement:");
    y.line(4, "constraints: [" + yaml_quote(installer::placement_constraint(layout, d.service)) +
                  "]");
  }
  if (request.cpuset_cpus) {
    y.line(3, "resources:");
    y.line(4, "limits:");
    y.line(5, "cpus: \"" + std::to_string(installer::cpus_in(*request.cpuset_cpus)) + "\"");
  }
}

void write_service(Yaml& y, const installer::Layout& layout,
                   const installer::ServiceDescription& s, const ExportOptions& options) {
  const installer::ContainerDefinition d = layout.definition(s);
  const docker::ContainerSpec& request = d.request;
  y.line(1, yaml_quote(s.name) + ":");
  if (s.name != options.unnamed_service && !options.swarm)
    y.line(2, "container_name: " + compose_value(request.name));
  std::string image = request.image;
  if (options.version && image == options.application_image) image += ":" + *options.version;
  y.line(2, "image: " + compose_value(image));
  if (request.command) y.line(2, "command: " + flow_list(docker::split_command(*request.command)));
  if (request.environment) {
    if (request.environment->empty()) y.line(2, "environment: {}");
    else y.line(2, "environment:");
    for (const auto& [name, value] : *request.environment) {
      // On a swarm the replicas of one service are its workers: each task
      // names itself after its slot, as a scaled worker does on one host.
      if (options.swarm && name == "WNAME")
        y.line(3, yaml_quote(name) + ": " +
                      compose_value("{{if eq .Task.Slot \"1\"}}" + value + "{{else}}" + s.name +
                                    "_{{.Task.Slot}}{{end}}"));
      else
        y.line(3, yaml_quote(name) + ": " + compose_value(value));
    }
  }
  if (request.binds) {
    if (d.mounts.empty()) y.line(2, "volumes: []");
    else y.line(2, "volumes:");
    // The installer mounts every entry read-write and ignores a third part.
    for (const installer::VolumeEntry& v : d.mounts)
      y.line(3, "- " + compose_value(v.source + ":" + v.target));
  }
  if (!d.networks.empty()) {
    y.line(2, "networks:");
    for (const installer::NetworkJoin& join : d.networks) {
      std::vector<std::string> aliases = join.aliases;
      // A stack gives every service its short name on its networks already.
      if (options.swarm) std::erase(aliases, s.name);
      if (aliases.empty() && options.swarm) {
        y.line(3, yaml_quote(join.short_name) + ": {}");
      } else {
        y.line(3, yaml_quote(join.short_name) + ":");
        y.line(4, "aliases: " + flow_list(aliases));
      }
    }
  } else if (!options.swarm) {
    y.line(2, "network_mode: \"bridge\"");
  }
  if (request.ports && !request.ports->empty() && !options.swarm) {
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
  if (options.swarm) {
    write_swarm_part(y, layout, d);
    return;
  }
  if (request.cpuset_cpus) y.line(2, "cpuset: " + compose_value(*request.cpuset_cpus));
  if (request.restart_policy) y.line(2, "restart: " + compose_value(*request.restart_policy));
}

// The heading of a stack file: how to deploy it, the node labels to set
// first, and what a swarm service cannot be given.
void write_swarm_heading(Yaml& y, const installer::Layout& layout, const ExportOptions& options) {
  const std::string& application = layout.application();
  y.line(0, "# " + application + " as a stack file for a Docker swarm, written by `bootstrap export --swarm`.");
  y.line(0, "# Services that keep data in a named volume run only on the node labelled for");
  y.line(0, "# them, since a volume stays on the node that made it. On a manager, label the");
  y.line(0, "# node (NODE, as `docker node ls` names it) that is to hold each one's data:");
  for (const installer::ServiceDescription& s : layout.services()) {
    installer::ContainerDefinition d;
    try {
      d = layout.definition(s);
    } catch (const std::invalid_argument& e) {
      throw std::invalid_argument("service " + s.name + ": " + e.what());
    }
    if (installer::keeps_data(d))
      y.line(0, "#   docker node update --label-add " + installer::placement_label(layout, s.name) +
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

// A file written under a name of its own in the target's folder and renamed
// over the target: whatever lies at the target, a link included, is
// replaced, never written through; the file is gone unless it was put in
// place.
class NewFile {
 public:
  explicit NewFile(const std::filesystem::path& target) : target_(target) {
    const std::filesystem::path folder = target.parent_path().empty() ? "." : target.parent_path();
    std::string pattern = (folder / ("." + target.filename().string() + ".XXXXXX")).string();
    fd_.reset(::mkostemp(pattern.data(), O_CLOEXEC));
    if (!fd_) throw std::runtime_error(std::strerror(errno));
    path_ = pattern;
    // mkostemp makes it 0600; the file is meant to be 0644 before the umask.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    if (::fchmod(fd_.get(), 0644 & ~mask) != 0) throw std::runtime_error(std::strerror(errno));
  }
  ~NewFile() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  NewFile(const NewFile&) = delete;
  NewFile& operator=(const NewFile&) = delete;

  int fd() const { return fd_.get(); }

  // Renames the file to the target; without `replace`, only when nothing
  // (not even a dangling link) has that name.
  void put_in_place(bool replace) {
    // A write the file system took but could not store shows here, before
    // the file takes the target's name.
    if (::fsync(fd_.get()) != 0) throw std::runtime_error(std::strerror(errno));
    fd_.reset();
    if (replace) {
      if (::rename(path_.c_str(), target_.c_str()) != 0)
        throw std::runtime_error(std::strerror(errno));
    } else if (::renameat2(AT_FDCWD, path_.c_str(), AT_FDCWD, target_.c_str(),
                           RENAME_NOREPLACE) != 0) {
      if (errno == EEXIST) throw std::runtime_error("the file exists (--force replaces it)");
      // A file system without RENAME_NOREPLACE: link(2) refuses an
      // existing name just as well.
      if (errno != EINVAL || ::link(path_.c_str(), target_.c_str()) != 0)
        throw std::runtime_error(errno == EEXIST ? "the file exists (--force replaces it)"
                                                 : std::strerror(errno));
      return;  // the destructor removes the temporary name
    }
    path_.clear();
  }

 private:
  std::filesystem::path target_;
  std::string path_;
  base::UniqueFd fd_;
};

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

std::string compose_file(const std::string& application, const installer::ServiceList& services,
                         const ExportOptions& options) {
  Yaml y;
  const installer::Layout layout(application, services, options.cpu_count);
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
  for (const installer::ServiceDescription& s : services) {
    try {
      write_service(y, layout, s, options);
    } catch (const std::invalid_argument& e) {
      throw std::invalid_argument("service " + s.name + ": " + e.what());
    }
  }
  if (!layout.volumes().empty()) {
    y.line(0, "volumes:");
    for (const installer::LayoutObject& v : layout.volumes()) {
      y.line(1, yaml_quote(v.short_name) + ":");
      y.line(2, "name: " + compose_value(v.name));
    }
  }
  if (!layout.networks().empty()) {
    y.line(0, "networks:");
    for (const installer::LayoutObject& n : layout.networks()) {
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
    NewFile file(path);
    if (int error = base::write_all(file.fd(), text); error != 0)
      throw std::runtime_error(std::strerror(error));
    file.put_in_place(force);
  } catch (const std::runtime_error& e) {
    throw std::runtime_error(context + ": " + e.what());
  }
}

void export_command(const ExportRequest& request, std::ostream& out) {
  using installer::lumadex::LumadexInstaller;
  ExportOptions options;
  options.application_image = LumadexInstaller::main_service;
  options.version = request.version;
  options.swarm = request.swarm;
  options.cpu_count = export_cpu_count(
      request.cpus, [] { return docker::DockerClient::from_environment()->info().ncpu; },
      host::real_host().system.cpu_count(), options.cpu_count_source);
  const std::string text =
      compose_file(LumadexInstaller::application_name, LumadexInstaller::lumadex_services, options);
  if (request.output)
    write_export(*request.output, text, request.force);
  else
    out << text << std::flush;
}

}  // namespace bootstrap::app
