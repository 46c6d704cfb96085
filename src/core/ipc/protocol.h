// The control channel's messages: one request line in, one reply line out.
//
// A request is a JSON object whose "cmd" names the variant; the variant's
// fields stand beside it, in any order. Every request from a client is an
// "auth" wrapper carrying the token and the inner request.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "json/value.h"

namespace vesk::ipc {

// Longest request line, its line feed included.
inline constexpr std::size_t kMaxRequestLine = 1'048'576;

struct AuthRequest;
struct StatusRequest {
  std::string name;
};
struct ListRequest {};
struct HistoryRequest {
  std::string name;
  std::optional<std::uint64_t> limit;  // absent or null: no limit
};
struct ShutdownRequest {};
struct CompactRequest {};
struct DoctorRequest {};
struct RuntimeStatusRequest {};

// Variants in declaration order: auth, status, list, history, shutdown,
// compact, doctor, runtime_status.
using IpcRequest = std::variant<std::unique_ptr<AuthRequest>, StatusRequest, ListRequest, HistoryRequest,
                                ShutdownRequest, CompactRequest, DoctorRequest, RuntimeStatusRequest>;

struct AuthRequest {
  std::string token;
  IpcRequest inner;
};

// The request on a line (its line feed and any white space around the JSON
// value included), or nothing when the line is not a valid request: not
// JSON, a missing or unknown "cmd", a missing or mistyped field, "cmd" or a
// variant field given twice, a "limit" that is not an unsigned 64-bit
// integer written without fraction or exponent, or anything but white space
// after the value. Lines longer than kMaxRequestLine, lines that are not
// UTF-8 and auth requests nested more than 64 deep are refused as well.
// Unknown keys are skipped, also when repeated; a field of another variant
// counts as unknown.
std::optional<IpcRequest> parse_request(std::string_view line);

// Reply lines: {"status":"ok","data":...}\n and {"status":"error","message":...}\n
// (data written with its keys sorted at every depth).
std::string ok_reply(const json::Value& data);
std::string error_reply(std::string_view message);

// Whether `given` equals `expected`, in a time that does not depend on where
// the first differing byte is (lengths are compared first).
bool token_matches(std::string_view given, std::string_view expected);

}  // namespace vesk::ipc
