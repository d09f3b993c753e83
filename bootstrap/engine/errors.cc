#include "bootstrap/engine/errors.h"

namespace bootstrap::engine {

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

}  // namespace bootstrap::engine
