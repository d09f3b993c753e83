#include "bootstrap/docker/errors.h"

#include <atomic>

namespace bootstrap::docker {

namespace {

std::string connection_text(const std::string& context, const std::string& endpoint,
                            const std::string& detail) {
  std::string text;
  if (!context.empty()) text = context + ": ";
  text += "cannot reach the Docker engine at " + endpoint;
  if (!detail.empty()) text += ": " + detail;
  return text;
}

}  // namespace

ConnectionError::ConnectionError(const std::string& context, const std::string& endpoint,
                                 const std::string& detail)
    : EngineError(connection_text(context, endpoint, detail)),
      endpoint_(endpoint),
      detail_(detail) {}

ApiError::ApiError(const std::string& context, long status, const std::string& message)
    : EngineError(context + ": " + std::to_string(status) + ": " + message),
      status_(status),
      message_(message) {}

namespace {

// Lock-free, so a signal handler may set it.
std::atomic<bool> interrupt_flag{false};
static_assert(std::atomic<bool>::is_always_lock_free);

}  // namespace

void request_interrupt() noexcept { interrupt_flag.store(true); }
bool interrupt_requested() noexcept { return interrupt_flag.load(); }
void clear_interrupt() noexcept { interrupt_flag.store(false); }

}  // namespace bootstrap::docker
