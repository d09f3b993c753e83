#include "bootstrap/app/compose_export.h"

#include <fcntl.h>
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

void write_service(Yaml& y, const installer::Layout& layout,
                   const installer::ServiceDescription& s, const ExportOptions& options) {
  const installer::ContainerDefinition d = layout.definition(s);
  const docker::ContainerSpec& request = d.request;
  y.line(1, yaml_quote(s.name) + ":");
  if (s.name != options.unnamed_service)
    y.line(2, "container_name: " + compose_value(request.name));
  std::string image = request.image;
  if (options.version && image == options.application_image) image += ":" + *options.version;
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
    for (const installer::VolumeEntry& v : d.mounts)
      y.line(3, "- " + compose_value(v.source + ":" + v.target));
  }
  if (!d.networks.empty()) {
    y.line(2, "networks:");
    for (const installer::NetworkJoin& join : d.networks) {
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
  y.line(0, "# " + application + " as a Compose file, written by `bootstrap export`.");
  y.line(0, "# CPU sets resolved for " + std::to_string(options.cpu_count) + " CPUs" +
                (options.cpu_count_source.empty() ? "" : " (" + options.cpu_count_source + ")") +
                ".");

  if (options.unnamed_service)
    y.line(0, "# Service " + *options.unnamed_service +
                  " has no container_name, so Compose can scale it.");

  const installer::Layout layout(application, services, options.cpu_count);
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
  const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (force ? O_TRUNC : O_EXCL);
  int fd = ::open(path.c_str(), flags, 0644);
  if (fd < 0) {
    int error = errno;
    if (error == EEXIST)
      throw std::runtime_error("write " + path.string() +
                               ": the file exists (--force replaces it)");
    throw std::runtime_error("write " + path.string() + ": " + std::strerror(error));
  }
  if (int error = base::write_all(fd, text); error != 0) {
    ::close(fd);
    throw std::runtime_error("write " + path.string() + ": " + std::strerror(error));
  }
  if (::close(fd) != 0)
    throw std::runtime_error("write " + path.string() + ": " + std::strerror(errno));
}

void export_command(const ExportRequest& request, std::ostream& out) {
  using installer::lumadex::LumadexInstaller;
  ExportOptions options;
  options.application_image = LumadexInstaller::main_service;
  options.version = request.version;
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
