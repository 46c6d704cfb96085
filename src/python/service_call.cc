#include "service_call.h"

#include <expected>

#include "errors.h"
#include "remote/http.h"

namespace vesk::py {

std::optional<json::Value> call_service(const std::string& server, const std::string& token, std::string_view method,
                                        const std::string& path, const json::Value* body,
                                        std::chrono::nanoseconds limit, bool release_gil) {
  if (remote::has_control_character(token)) {
    raise_value_error("invalid request: token contains a control character");
    return std::nullopt;
  }
  std::expected<json::Value, std::string> answer;
  if (release_gil) {
    // The caller's fields may be replaced (a second __init__ on another
    // thread) while the lock is let go: the exchange works on copies.
    const std::string own_server = server;
    const std::string own_token = token;
    GilRelease released;
    answer = remote::http_request(own_server, own_token, method, path, body, limit);
  } else {
    answer = remote::http_request(server, token, method, path, body, limit);
  }
  if (!answer) {
    raise_runtime_error(answer.error());
    return std::nullopt;
  }
  return std::move(*answer);
}

}  // namespace vesk::py
