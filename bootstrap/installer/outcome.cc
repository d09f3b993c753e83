#include "bootstrap/installer/outcome.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace bootstrap::installer {

namespace {

std::string seconds_text(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "(%.1f s)", seconds);
  return text;
}

std::string count(int n, const std::string& one, const std::string& many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

// "a", "a and b", "a, b and c".
std::string listed(const std::vector<std::string>& parts) {
  std::string text;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) text += i + 1 == parts.size() ? " and " : ", ";
    text += parts[i];
  }
  return text;
}

}  // namespace

std::string describe_outcome(const std::string& application, const Outcome& outcome) {
  const char* state = outcome.running == 0                ? " is down: "
                      : outcome.running < outcome.total ? " is partly up: "
                                                        : " is up: ";
  std::vector<std::string> done;
  if (outcome.created > 0) done.push_back(std::to_string(outcome.created) + " created");
  if (outcome.recreated > 0) done.push_back(std::to_string(outcome.recreated) + " recreated");
  if (outcome.removed > 0) done.push_back(std::to_string(outcome.removed) + " removed");
  if (outcome.started > 0) done.push_back(std::to_string(outcome.started) + " started");
  // What was neither made, remade nor started this time; a removed one is no
  // longer counted.
  const int unchanged =
      std::max(0, outcome.total - outcome.created - outcome.recreated - outcome.started);
  if (unchanged > 0) done.push_back(std::to_string(unchanged) + " unchanged");
  std::string line = application + state + std::to_string(outcome.running) + " of " +
                     std::to_string(outcome.total) + " running";
  std::string parts;
  for (const std::string& part : done) parts += (parts.empty() ? "" : ", ") + part;
  if (!parts.empty()) line += "; " + parts;
  return line + " " + seconds_text(outcome.seconds);
}

std::string describe_swarm_outcome(const std::string& application, int running, int total,
                                   int changed, double seconds) {
  std::string line = application +
                     (running == 0 ? " is down" : running < total ? " is partly up" : " is up") +
                     " on the swarm: " + std::to_string(running) + " of " + std::to_string(total) +
                     " services running";
  std::vector<std::string> parts;
  if (changed > 0) parts.push_back(std::to_string(changed) + " changed");
  if (total - changed > 0) parts.push_back(std::to_string(total - changed) + " unchanged");
  for (std::size_t i = 0; i < parts.size(); ++i) line += (i == 0 ? "; " : ", ") + parts[i];
  return line + " " + seconds_text(seconds);
}

std::string describe_swarm_removal(const std::string& application, int services, double seconds) {
  return application + " is uninstalled from the swarm: " +
         count(services, "service", "services") + " removed " + seconds_text(seconds);
}

std::string describe_removal(const std::string& application, const Removal& removal) {
  std::vector<std::string> parts;
  if (removal.containers > 0) parts.push_back(count(removal.containers, "container", "containers"));
  if (removal.networks > 0) parts.push_back(count(removal.networks, "network", "networks"));
  if (removal.volumes > 0) parts.push_back(count(removal.volumes, "volume", "volumes"));
  if (parts.empty())
    return application + " is not installed: nothing was removed " + seconds_text(removal.seconds);
  return application + " is uninstalled: " + listed(parts) + " removed " +
         seconds_text(removal.seconds);
}

namespace {

std::string how_far(int done, int total, Unfinished::Left left) {
  if (done == 0) return "before anything was changed";
  const char* state = "";
  switch (left) {
    case Unfinished::Left::partly_up:
      state = " is partly up: run 'bootstrap install' to finish";
      break;
    case Unfinished::Left::down:
      state = " is down: run 'bootstrap install' to bring it back";
      break;
    case Unfinished::Left::partly_moved:
      // Only the update compares image ids, so only it finishes the move.
      state = " runs partly on the new version: run 'bootstrap update --in-place' to finish";
      break;
  }
  return "after " + std::to_string(done) + " of " + std::to_string(total) + " steps; the product" +
         state;
}

}  // namespace

Unfinished::Unfinished(int done, int total, Left left)
    : std::runtime_error(how_far(done, total, left)) {}

}  // namespace bootstrap::installer
