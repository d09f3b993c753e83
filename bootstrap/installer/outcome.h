// The one line that ends a command which changed the product: how much of it
// runs, what the command did to its containers, and how long it took.
#pragma once

#include <stdexcept>
#include <string>

namespace bootstrap::installer {

// What a bring-up, update or scale left behind.
struct Outcome {
  int running = 0;  // the product's containers running at the end
  int total = 0;    // the product's containers at the end
  int created = 0;
  int recreated = 0;
  int removed = 0;
  int started = 0;  // found stopped and started again
  double seconds = 0;
};

// "lumadex is up: 13 of 13 running; 7 recreated, 6 unchanged (15.2 s)";
// "partly up" while some container does not run, "down" when none does.
std::string describe_outcome(const std::string& application, const Outcome& outcome);

// "lumadex is up on the swarm: 13 of 13 services running; 3 changed, 10
// unchanged (12.3 s)"; "partly up" while a service lacks running tasks.
std::string describe_swarm_outcome(const std::string& application, int running, int total,
                                   int changed, double seconds);

// "lumadex is uninstalled from the swarm: 13 services removed (4.2 s)".
std::string describe_swarm_removal(const std::string& application, int services, double seconds);

// What an uninstall removed.
struct Removal {
  int containers = 0;
  int networks = 0;
  int volumes = 0;
  double seconds = 0;
};

// "lumadex is uninstalled: 13 containers, 4 networks and 5 volumes removed (2.1 s)".
std::string describe_removal(const std::string& application, const Removal& removal);

// Thrown in place of what an operation threw when the operator stopped it
// part way: how far it got. what() reads "after 5 of 38 steps; the product is
// partly up: run 'bootstrap install' to finish".
class Unfinished : public std::runtime_error {
 public:
  // How the product was left.
  enum class Left {
    partly_up,     // an install part way: `bootstrap install` finishes it
    down,          // taken down, not yet brought back: `bootstrap install`
    partly_moved,  // an in-place update part way: `bootstrap update --in-place`
  };
  Unfinished(int done, int total, Left left);
};

}  // namespace bootstrap::installer
