#include "bootstrap/installer/service.h"

#include <charconv>
#include <stdexcept>

namespace bootstrap::installer {

std::string qualified_name(const std::string& application_name, const std::string& short_name) {
  return application_name + "-" + short_name;
}

VolumeEntry parse_volume_entry(const std::string& entry) {
  std::size_t first = entry.find(':');
  if (first == std::string::npos)
    throw std::invalid_argument("volume entry \"" + entry + "\" has no \":\" between source and path");
  std::size_t second = entry.find(':', first + 1);
  return {entry.substr(0, first), entry.substr(first + 1, second == std::string::npos
                                                              ? std::string::npos
                                                              : second - first - 1)};
}

std::string volume_source(const std::string& entry) { return entry.substr(0, entry.find(':')); }

namespace {

struct CpuRange {
  long first;
  long last;
};

// Parses "0-3,5,7-8". Returns false for anything else.
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

}  // namespace

CpuSet resolve_cpuset(const std::string& asked, unsigned cpu_count) {
  if (cpu_count == 0) cpu_count = 1;
  std::string text = asked;
  if (text.size() >= 2 && text.compare(text.size() - 2, 2, "-x") == 0) {
    std::string last = std::to_string(cpu_count - 1);
    std::string expanded;
    for (char c : text) expanded += c == 'x' ? last : std::string(1, c);
    text = expanded;
  }

  // A set written for a bigger machine names CPUs this one lacks, and the
  // engine refuses such a container outright; keep what exists instead.
  std::vector<CpuRange> ranges;
  if (!parse_cpu_list(text, ranges)) return {text, false};
  const long last_cpu = static_cast<long>(cpu_count) - 1;
  bool clamped = false;
  std::string kept;
  for (CpuRange r : ranges) {
    if (r.first > last_cpu) {
      clamped = true;
      continue;
    }
    if (r.last > last_cpu) {
      r.last = last_cpu;
      clamped = true;
    }
    if (!kept.empty()) kept += ',';
    kept += std::to_string(r.first);
    if (r.last != r.first) kept += "-" + std::to_string(r.last);
  }
  if (!clamped) return {text, false};
  if (kept.empty()) kept = cpu_count == 1 ? "0" : "0-" + std::to_string(last_cpu);
  return {kept, true};
}

unsigned cpus_in(const std::string& set) {
  unsigned count = 0;
  std::size_t start = 0;
  while (start <= set.size()) {
    std::size_t end = set.find(',', start);
    if (end == std::string::npos) end = set.size();
    const std::string part = set.substr(start, end - start);
    const std::size_t dash = part.find('-');
    const std::string first = part.substr(0, dash);
    const std::string last = dash == std::string::npos ? first : part.substr(dash + 1);
    auto number = [&](const std::string& digits) {
      if (digits.empty() || digits.size() > 6 ||
          digits.find_first_not_of("0123456789") != std::string::npos)
        throw std::invalid_argument("CPU set \"" + set + "\" cannot become a CPU limit");
      return static_cast<unsigned>(std::stoul(digits));
    };
    const unsigned low = number(first), high = number(last);
    if (high < low)
      throw std::invalid_argument("CPU set \"" + set + "\" cannot become a CPU limit");
    count += high - low + 1;
    start = end + 1;
  }
  return count;
}

}  // namespace bootstrap::installer
