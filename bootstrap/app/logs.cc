#include "bootstrap/app/logs.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <exception>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "bootstrap/app/context.h"
#include "bootstrap/docker/docker_client.h"
#include "bootstrap/docker/errors.h"
#include "bootstrap/installer/layout.h"
#include "bootstrap/installer/lumadex/lumadex_installer.h"

namespace bootstrap::app {

namespace {

using installer::lumadex::LumadexInstaller;

// Foreground colours that read on dark and light terminals alike; red is
// left out so that no container looks like an error.
constexpr const char* kColours[] = {"36", "33", "32", "35", "34", "96", "93", "92", "95", "94"};

struct Source {
  std::string container;
  std::string prefix;  // the name padded and coloured, then " | "
};

// The containers to read, in catalogue order, each service's own before its
// workers in number order.
std::vector<std::string> containers_of(docker::Client& client, const LogsRequest& request) {
  const installer::ServiceList& catalogue = LumadexInstaller::lumadex_services;
  const installer::Layout layout(LumadexInstaller::application_name, catalogue);
  std::vector<docker::ContainerRef> present = client.list_containers(true);
  std::vector<std::string> names;
  for (const installer::ServiceDescription& service : catalogue) {
    if (!request.services.empty() &&
        std::find(request.services.begin(), request.services.end(), service.name) ==
            request.services.end())
      continue;
    const std::string own = layout.container(service.name);
    std::vector<std::pair<long long, std::string>> workers;
    bool has_own = false;
    for (const docker::ContainerRef& c : present) {
      if (c.name == own) has_own = true;
      if (!layout.is_worker(service.name, c.name)) continue;
      if (std::optional<long long> n = installer::Layout::worker_number(c.name))
        workers.emplace_back(*n, c.name);
    }
    if (has_own) names.push_back(own);
    std::sort(workers.begin(), workers.end());
    for (const auto& [number, name] : workers) names.push_back(name);
  }
  return names;
}

std::vector<Source> sources_for(const std::vector<std::string>& containers, bool color) {
  std::size_t width = 0;
  for (const std::string& name : containers) width = std::max(width, name.size());
  std::vector<Source> sources;
  for (std::size_t i = 0; i < containers.size(); ++i) {
    std::string padded = containers[i] + std::string(width - containers[i].size(), ' ');
    if (color)
      padded = std::string("\033[") + kColours[i % std::size(kColours)] + "m" + padded + "\033[0m";
    sources.push_back({containers[i], padded + " | "});
  }
  return sources;
}

// Whole lines under one lock, so that lines of containers followed at once
// never interleave mid-line.
class LinePrinter {
 public:
  explicit LinePrinter(std::ostream& out) : out_(out) {}
  void print(const std::string& prefix, std::string_view line) {
    std::lock_guard<std::mutex> hold(lock_);
    out_ << prefix << line << '\n' << std::flush;
  }

 private:
  std::ostream& out_;
  std::mutex lock_;
};

}  // namespace

std::optional<std::int64_t> parse_since(const std::string& text, std::int64_t now) {
  if (text.empty()) return std::nullopt;
  if (text.find_first_not_of("0123456789") == std::string::npos) {
    if (text.size() > 12) return std::nullopt;
    return std::stoll(text);
  }
  // A duration: numbers each followed by a unit.
  if (std::isdigit(static_cast<unsigned char>(text.front())) &&
      text.find_first_not_of("0123456789smhd") == std::string::npos) {
    std::int64_t total = 0;
    std::int64_t number = -1;
    for (char c : text) {
      if (std::isdigit(static_cast<unsigned char>(c))) {
        number = (number < 0 ? 0 : number) * 10 + (c - '0');
        if (number > 100000000) return std::nullopt;
        continue;
      }
      if (number < 0) return std::nullopt;
      total += number * (c == 's' ? 1 : c == 'm' ? 60 : c == 'h' ? 3600 : 86400);
      number = -1;
    }
    if (number >= 0) return std::nullopt;  // a trailing number without unit
    return now - total;
  }
  // A time: the date, then optionally the time of day and an offset.
  std::tm parts{};
  int year = 0, month = 0, consumed = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2d%n", &year, &month, &parts.tm_mday, &consumed) != 3 ||
      consumed != 10 || year < 1970 || month < 1 || month > 12 || parts.tm_mday < 1 ||
      parts.tm_mday > 31)
    return std::nullopt;
  std::string rest = text.substr(10);
  if (!rest.empty()) {
    int used = 0;
    if ((rest[0] != 'T' && rest[0] != ' ') ||
        std::sscanf(rest.c_str() + 1, "%2d:%2d:%2d%n", &parts.tm_hour, &parts.tm_min,
                    &parts.tm_sec, &used) != 3 ||
        parts.tm_hour > 23 || parts.tm_min > 59 || parts.tm_sec > 60)
      return std::nullopt;
    rest = rest.substr(1 + static_cast<std::size_t>(used));
  }
  parts.tm_year = year - 1900;
  parts.tm_mon = month - 1;
  std::int64_t seconds = ::timegm(&parts);
  if (rest.empty() || rest == "Z") return seconds;
  int hours = 0, minutes = 0, used = 0;
  if ((rest[0] != '+' && rest[0] != '-') ||
      std::sscanf(rest.c_str() + 1, "%2d:%2d%n", &hours, &minutes, &used) != 2 ||
      static_cast<std::size_t>(used) + 1 != rest.size())
    return std::nullopt;
  const std::int64_t offset = (hours * 60 + minutes) * 60;
  return rest[0] == '+' ? seconds - offset : seconds + offset;
}

void logs_command(const LogsRequest& request, const Context& context) {
  std::ostream& out = context.output.out;
  std::unique_ptr<docker::DockerClient> client = context.connect();
  const std::vector<Source> sources =
      sources_for(containers_of(*client, request), context.output.terminal.colour);
  if (sources.empty())
    throw std::runtime_error(request.services.empty()
                                 ? LumadexInstaller::application_name + " is not installed"
                                 : "none of the services named has a container");

  docker::LogOptions options;
  options.tail = request.tail;
  if (request.since)
    options.since = parse_since(*request.since, static_cast<std::int64_t>(std::time(nullptr)));
  options.follow = request.follow;
  options.timestamps = request.timestamps;
  LinePrinter printer(out);

  if (!request.follow) {
    for (const Source& source : sources) {
      bool any = false;
      client->container_logs(source.container, options,
                             [&](docker::LogStream, std::string_view line) {
                               any = true;
                               printer.print(source.prefix, line);
                             });
      // Silence would read as a container that was not asked.
      if (!any) printer.print(source.prefix, "(no output)");
    }
    return;
  }

  // A client is one connection used by one caller at a time, so each
  // followed container gets its own.
  std::mutex failure_lock;
  std::exception_ptr failure;
  std::vector<std::thread> readers;
  for (const Source& source : sources) {
    readers.emplace_back([&, source] {
      try {
        std::unique_ptr<docker::DockerClient> own = context.connect();
        own->container_logs(source.container, options,
                            [&](docker::LogStream, std::string_view line) {
                              printer.print(source.prefix, line);
                            });
      } catch (...) {
        // The others follow on: a container removed meanwhile ends only
        // its own reader.
        std::lock_guard<std::mutex> hold(failure_lock);
        if (!failure) failure = std::current_exception();
      }
    });
  }
  for (std::thread& reader : readers) reader.join();
  if (failure) std::rethrow_exception(failure);
}

}  // namespace bootstrap::app
