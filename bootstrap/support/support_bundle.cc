#include "bootstrap/support/support_bundle.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <stdexcept>
#include <utility>

#include <nlohmann/json.hpp>

#include "bootstrap/base/archive_handles.h"
#include "bootstrap/base/fd.h"
#include "bootstrap/base/new_file.h"
#include "bootstrap/base/text.h"
#include "bootstrap/base/utc_time.h"
#include "bootstrap/host/map_count.h"
#include "bootstrap/installer/layout.h"
#include "bootstrap/installer/lumadex/lumadex_installer.h"

namespace bootstrap::support {

using survey::DiskSpace;
using survey::MemlockLimit;

namespace {

using nlohmann::json;

// Enough of a container's log to see how it got where it is, small enough
// that thirteen of them make a bundle one can mail.
constexpr int kLogLines = 1000;

// Collects members; a step that throws costs only its own members, and the
// reason goes to errors.txt.
class Collector {
 public:
  void add(std::string name, std::string content) {
    members_.push_back(SupportFile{std::move(name), std::move(content)});
  }
  template <typename Step>
  bool attempt(const std::string& what, Step step) {
    try {
      step();
      return true;
    } catch (const std::exception& e) {
      errors_.push_back(what + ": " + e.what());
      return false;
    }
  }
  void error(const std::string& line) { errors_.push_back(line); }

  std::vector<SupportFile> finish() {
    if (!errors_.empty()) {
      std::string text;
      for (const std::string& e : errors_) text += e + "\n";
      add("errors.txt", text);
    }
    return std::move(members_);
  }

 private:
  std::vector<SupportFile> members_;
  std::vector<std::string> errors_;
};

std::string gib(std::uint64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f GiB", static_cast<double>(bytes) / (1024.0 * 1024 * 1024));
  return text;
}

// The lines of `text` that start with one of `keys`.
std::string lines_starting(const std::string& text, const std::vector<std::string>& keys) {
  std::string out;
  for (const std::string& l : base::split_lines(text))
    for (const std::string& k : keys)
      if (l.rfind(k, 0) == 0) out += l + "\n";
  return out;
}

std::string host_facts(BundleSources& sources, const std::string& data_root) {
  host::Host& host = sources.host;
  std::string text;
  text += "kernel: " + host.system.system_name() + " " + host.system.kernel_release() + "\n";
  text += "cpus usable: " + std::to_string(host.system.cpu_count()) + "\n";
  if (std::optional<std::string> cpuinfo = host.files.read_if_present("/proc/cpuinfo")) {
    std::string model = lines_starting(*cpuinfo, {"model name"});
    model = model.substr(0, model.find('\n'));
    text += "cpu: " + std::string(base::trim(model.substr(model.find(':') + 1))) + "\n";
  }
  if (std::optional<std::string> meminfo = host.files.read_if_present("/proc/meminfo"))
    text += lines_starting(*meminfo, {"MemTotal:", "MemAvailable:", "SwapTotal:", "SwapFree:"});
  if (!sources.engine_is_local)
    text += "disk under " + data_root + ": the engine is on another machine\n";
  else if (std::optional<DiskSpace> disk = sources.probes.disk_space(data_root))
    text += "disk under " + data_root + ": " + gib(disk->available) + " free of " +
            gib(disk->total) + "\n";
  else
    text += "disk under " + data_root + ": not visible from here\n";
  long map_count = host::max_map_count(host);
  text += "vm.max_map_count: " + (map_count > 0 ? std::to_string(map_count) : "unreadable") + "\n";
  MemlockLimit memlock = sources.probes.memlock_limit();
  text += "memlock hard limit: " +
          (memlock.unlimited ? std::string("unlimited")
                             : std::to_string(memlock.hard_bytes) + " bytes") +
          (memlock.can_raise ? " (this process may raise it)" : "") + "\n";
  return text;
}

// The lines of the kernel settings files that set vm.max_map_count, each
// after its file and line number, in the order sysctl reads the files.
std::string map_count_settings(host::Host& host) {
  std::vector<std::filesystem::path> files;
  for (const char* dir : {"/usr/lib/sysctl.d", "/lib/sysctl.d", "/run/sysctl.d", "/etc/sysctl.d"}) {
    std::error_code ec;
    std::vector<std::filesystem::path> found;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec))
      if (entry.path().extension() == ".conf") found.push_back(entry.path());
    std::sort(found.begin(), found.end());
    files.insert(files.end(), found.begin(), found.end());
  }
  files.push_back(host.sysctl_conf);
  std::string text;
  for (const std::filesystem::path& file : files) {
    std::optional<std::string> content = host.files.read_if_present(file);
    if (!content) continue;
    int number = 0;
    for (const std::string& l : base::split_lines(*content)) {
      ++number;
      if (l.find("max_map_count") != std::string::npos)
        text += file.string() + ":" + std::to_string(number) + ": " + l + "\n";
    }
  }
  return text.empty() ? "no settings file sets vm.max_map_count\n" : text;
}

void gather_engine(Collector& c, BundleSources& sources, docker::Client& engine,
                   std::string& data_root) {
  using installer::lumadex::LumadexInstaller;
  c.attempt("engine/info.json", [&] {
    std::string info = engine.info_document();
    json parsed = json::parse(info, nullptr, false);
    if (parsed.is_object() && parsed.contains("DockerRootDir") &&
        parsed["DockerRootDir"].is_string())
      data_root = parsed["DockerRootDir"].get<std::string>();
    c.add("engine/info.json", info);
  });
  if (sources.status_json)
    c.attempt("status.json", [&] { c.add("status.json", sources.status_json(engine)); });

  installer::Layout layout(LumadexInstaller::application_name, LumadexInstaller::lumadex_services);
  auto ours = [&](const std::string& container) {
    for (const installer::ServiceDescription& s : layout.services())
      if (layout.belongs_to(s.name, container)) return true;
    return false;
  };
  c.attempt("containers", [&] {
    for (const docker::ContainerRef& ref : engine.list_containers(true)) {
      if (!ours(ref.name)) continue;
      const std::string folder = "containers/" + ref.name + "/";
      c.attempt(folder + "inspect.json",
                [&] { c.add(folder + "inspect.json", engine.container_document(ref.id)); });
      c.attempt(folder + "log.txt", [&] {
        docker::LogOptions options;
        options.tail = kLogLines;
        options.timestamps = true;
        std::string log;
        engine.container_logs(ref.id, options, [&](docker::LogStream stream, std::string_view l) {
          log += stream == docker::LogStream::kStderr ? "err " : "out ";
          log.append(l);
          log += '\n';
        });
        c.add(folder + "log.txt", log);
      });
    }
  });
  auto named = [](const std::vector<installer::LayoutObject>& objects, const std::string& name) {
    return std::any_of(objects.begin(), objects.end(),
                       [&](const installer::LayoutObject& o) { return o.name == name; });
  };
  c.attempt("networks", [&] {
    for (const docker::NetworkRef& n : engine.list_networks()) {
      if (!named(layout.networks(), n.name)) continue;
      const std::string member = "networks/" + n.name + ".json";
      c.attempt(member, [&] { c.add(member, engine.network_document(n.id)); });
    }
  });
  c.attempt("volumes", [&] {
    for (const docker::VolumeRef& v : engine.list_volumes()) {
      if (!named(layout.volumes(), v.name)) continue;
      const std::string member = "volumes/" + v.name + ".json";
      c.attempt(member, [&] { c.add(member, engine.volume_document(v.name)); });
    }
  });
}

// The operation log is read the way it is written: in a folder only root (or
// the caller) may change, never through a link, and only a file of ours, so
// that a link planted beside it cannot copy another file into the bundle.
// nullopt when there is no log (yet).
std::optional<std::string> read_operation_log(const std::filesystem::path& file) {
  std::error_code ec;
  if (!std::filesystem::exists(file.parent_path(), ec)) return std::nullopt;
  base::UniqueFd folder = base::open_private_folder(file.parent_path());
  base::UniqueFd fd(::openat(folder.get(), file.filename().c_str(),
                             O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (!fd) {
    if (errno == ENOENT) return std::nullopt;
    throw std::runtime_error(base::open_error(errno));
  }
  base::check_private_file(fd.get());
  std::string text;
  char buffer[1 << 16];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n > 0) text.append(buffer, static_cast<std::size_t>(n));
    else if (n == 0) return text;
    else if (errno != EINTR) throw std::runtime_error(std::strerror(errno));
  }
}

}  // namespace

std::vector<SupportFile> gather_support_files(BundleSources& sources) {
  Collector c;
  c.add("version.txt", sources.version_line + "\n");
  c.attempt("host/os-release", [&] {
    std::optional<std::string> os = sources.host.files.read_if_present(sources.host.os_release);
    if (!os) throw std::runtime_error(sources.host.os_release.string() + " does not exist");
    c.add("host/os-release", *os);
  });

  std::unique_ptr<docker::Client> engine;
  c.attempt("engine", [&] { engine = sources.connect(); });
  std::string data_root = "/var/lib/docker";
  // The version document doubles as the reachability test: when the engine
  // cannot be reached, one line says so instead of one per member.
  if (engine && c.attempt("engine/version.json", [&] {
        c.add("engine/version.json", engine->version_document());
      }))
    gather_engine(c, sources, *engine, data_root);

  c.attempt("host/facts.txt", [&] { c.add("host/facts.txt", host_facts(sources, data_root)); });
  c.attempt("host/sysctl.txt",
            [&] { c.add("host/sysctl.txt", map_count_settings(sources.host)); });
  if (engine && sources.preflight_text)
    c.attempt("preflight.txt", [&] { c.add("preflight.txt", sources.preflight_text(*engine)); });

  for (const std::string suffix : {"", ".1", ".2", ".3"}) {
    std::filesystem::path file = sources.operation_log.string() + suffix;
    c.attempt("log/" + file.filename().string(), [&] {
      if (std::optional<std::string> text = read_operation_log(file))
        c.add("log/" + file.filename().string(), *text);
    });
  }
  return c.finish();
}

void write_support_bundle(const std::vector<SupportFile>& members, const std::string& top,
                  const std::filesystem::path& path) {
  const std::string context = "write " + path.string();
  std::error_code ec;
  if (std::filesystem::exists(path, ec)) throw std::runtime_error(context + ": the file exists");
  std::unique_ptr<base::NewFile> file;
  try {
    file = std::make_unique<base::NewFile>(path, 0600);
  } catch (const std::exception& e) {
    throw std::runtime_error(context + ": " + e.what());
  }
  base::archive_handles::Writer writer(archive_write_new());
  auto check = [&](int status) {
    if (status != ARCHIVE_OK)
      throw std::runtime_error(context + ": " + archive_error_string(writer.get()));
  };
  check(archive_write_add_filter_gzip(writer.get()));
  check(archive_write_set_format_pax_restricted(writer.get()));
  check(archive_write_open_fd(writer.get(), file->fd()));
  const std::time_t now = std::time(nullptr);
  for (const SupportFile& m : members) {
    base::archive_handles::Entry entry(archive_entry_new());
    archive_entry_set_pathname(entry.get(), (top + "/" + m.name).c_str());
    archive_entry_set_size(entry.get(), static_cast<la_int64_t>(m.content.size()));
    archive_entry_set_filetype(entry.get(), AE_IFREG);
    // Unpacked by root, a member keeps this mode: the redacted texts still
    // describe the host, so they are no more readable than the archive.
    archive_entry_set_perm(entry.get(), 0600);
    archive_entry_set_mtime(entry.get(), now, 0);
    check(archive_write_header(writer.get(), entry.get()));
    if (archive_write_data(writer.get(), m.content.data(), m.content.size()) !=
        static_cast<la_ssize_t>(m.content.size()))
      throw std::runtime_error(context + ": " + archive_error_string(writer.get()));
  }
  check(archive_write_close(writer.get()));
  try {
    file->put_in_place(false);
  } catch (const std::exception& e) {
    throw std::runtime_error(context + ": " + e.what());
  }
}

std::string default_bundle_name() {
  char host[256] = "";
  if (::gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') std::strcpy(host, "host");
  return "kestro-support-" + std::string(host) + "-" + base::utc_time("%Y%m%dT%H%M%SZ") + ".tar.gz";
}

std::size_t make_support_bundle(BundleSources& sources, const std::filesystem::path& path) {
  std::vector<SupportFile> members = gather_support_files(sources);
  std::vector<Redaction> redactions = redact_support_files(members);
  std::string listed = "# What was replaced by " + std::string(kRedacted) +
                       ": member, place, name (values are never listed)\n";
  for (const Redaction& r : redactions) listed += r.member + "\t" + r.where + "\t" + r.name + "\n";
  members.push_back(SupportFile{"redactions.txt", listed});

  std::string top = path.filename().string();
  for (const char* suffix : {".tar.gz", ".tgz"})
    if (top.size() > std::strlen(suffix) && top.ends_with(suffix))
      top.resize(top.size() - std::strlen(suffix));
  write_support_bundle(members, top, path);

  auto errors = std::find_if(members.begin(), members.end(),
                             [](const SupportFile& m) { return m.name == "errors.txt"; });
  return errors == members.end() ? 0 : base::split_lines(errors->content).size();
}

}  // namespace bootstrap::support
