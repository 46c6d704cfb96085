// libFuzzer target: any bytes as a control-channel request line.
//
// Besides looking for crashes and undefined behaviour in the parser, it
// checks two properties on every input: an error reply carrying the input as
// its message reads back as that message (when the input is UTF-8), and a
// token always matches itself.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "ipc/protocol.h"
#include "json/value.h"
#include "utf8.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);

  const auto request = vesk::ipc::parse_request(line);
  if (request) {
    // Walk down the auth wrappers: every one must hold its inner request.
    const vesk::ipc::IpcRequest* at = &*request;
    while (const auto* auth = std::get_if<std::unique_ptr<vesk::ipc::AuthRequest>>(at)) {
      if (!*auth) std::abort();
      at = &(*auth)->inner;
    }
  }

  if (!vesk::ipc::token_matches(line, line)) std::abort();

  if (vesk::is_valid_utf8(line)) {
    const std::string reply = vesk::ipc::error_reply(line);
    if (reply.empty() || reply.back() != '\n') std::abort();
    const auto parsed = vesk::json::parse(reply);
    if (!parsed) std::abort();
    const auto* message = parsed->find("message");
    if (message == nullptr || !message->is<std::string>() || message->as<std::string>() != line) std::abort();
  }
  return 0;
}
