#include "ipc/protocol.h"

#include <array>
#include <cstddef>
#include <span>
#include <utility>

#include "json/reader.h"
#include "json/writer.h"
#include "storage/record_reader.h"
#include "utf8.h"

namespace vesk::ipc {
namespace {

using json::Reader;
using json::ReadResult;

// The values of "cmd", in the order of the IpcRequest alternatives.
constexpr std::array<std::string_view, 8> kCommands = {
    "auth", "status", "list", "history", "shutdown", "compact", "doctor", "runtime_status",
};
static_assert(kCommands.size() == std::variant_size_v<IpcRequest>);

// Auth requests nested deeper than this are refused, so that a hostile line
// cannot exhaust the stack of the recursive decoder. Containers skipped as
// unknown values have the reader's own limit (json::kMaxDepth).
constexpr int kMaxAuthDepth = 64;

// Each variant's keys; "cmd" is field 0 of every one of them, so that a
// second "cmd" is a duplicate field like any other.
constexpr std::array<std::string_view, 3> kAuthFields = {"cmd", "token", "inner"};
constexpr std::array<std::string_view, 2> kStatusFields = {"cmd", "name"};
constexpr std::array<std::string_view, 3> kHistoryFields = {"cmd", "name", "limit"};
constexpr std::array<std::string_view, 1> kBareFields = {"cmd"};

template <typename T>
ReadResult<void> store(ReadResult<T> result, auto& into) {
  if (!result) return std::unexpected(std::move(result.error()));
  into = *std::move(result);
  return {};
}

ReadResult<IpcRequest> read_request(Reader& in, int depth);

// Reads the remaining members of a request whose variant is known; field 0
// ("cmd") was either consumed already or is skipped here, its value having
// been checked by the scan.
template <typename ReadField>
ReadResult<void> read_fields(Reader& in, std::span<const std::string_view> fields, std::uint32_t required,
                             bool cmd_consumed, ReadField&& read_field) {
  return records::read_members(in, fields, required, cmd_consumed ? 1u : 0u, [&](std::size_t index) {
    if (index == 0) return in.skip_value();
    return read_field(index);
  });
}

ReadResult<IpcRequest> read_request(Reader& in, int depth) {
  if (depth > kMaxAuthDepth) return std::unexpected(in.custom("auth requests nested too deeply"));
  const std::size_t start = in.position();
  if (auto opened = in.begin_object("a request"); !opened) return std::unexpected(std::move(opened.error()));
  auto tag = records::read_tag(in, start, "cmd", kCommands);
  if (!tag) return std::unexpected(std::move(tag.error()));
  const bool consumed = tag->consumed;

  switch (tag->index) {
    case 0: {
      auto auth = std::make_unique<AuthRequest>();
      auto read = read_fields(in, kAuthFields, records::all_of(3), consumed, [&](std::size_t field) {
        if (field == 1) return store(in.read_string("a token string"), auth->token);
        auto kind = in.peek();
        if (!kind) return ReadResult<void>(std::unexpected(std::move(kind.error())));
        if (*kind != json::ValueKind::kObject) {
          return ReadResult<void>(std::unexpected(in.invalid_value("inner request", "an object")));
        }
        return store(read_request(in, depth + 1), auth->inner);
      });
      if (!read) return std::unexpected(std::move(read.error()));
      return IpcRequest(std::move(auth));
    }
    case 1: {
      StatusRequest status;
      auto read = read_fields(in, kStatusFields, records::all_of(2), consumed,
                              [&](std::size_t) { return store(in.read_string("a timer name"), status.name); });
      if (!read) return std::unexpected(std::move(read.error()));
      return IpcRequest(std::move(status));
    }
    case 3: {
      HistoryRequest history;
      auto read = read_fields(in, kHistoryFields, records::all_of(2), consumed, [&](std::size_t field) {
        if (field == 1) return store(in.read_string("a timer name"), history.name);
        auto is_null = in.read_null();
        if (!is_null) return ReadResult<void>(std::unexpected(std::move(is_null.error())));
        if (*is_null) {
          history.limit.reset();
          return ReadResult<void>();
        }
        return store(in.read_u64("u64"), history.limit);
      });
      if (!read) return std::unexpected(std::move(read.error()));
      return IpcRequest(std::move(history));
    }
    default: {
      auto read = read_fields(in, kBareFields, records::all_of(1), consumed,
                              [&](std::size_t) { return ReadResult<void>(); });
      if (!read) return std::unexpected(std::move(read.error()));
      switch (tag->index) {
        case 2: return IpcRequest(ListRequest{});
        case 4: return IpcRequest(ShutdownRequest{});
        case 5: return IpcRequest(CompactRequest{});
        case 6: return IpcRequest(DoctorRequest{});
        default: return IpcRequest(RuntimeStatusRequest{});
      }
    }
  }
}

}  // namespace

std::optional<IpcRequest> parse_request(std::string_view line) {
  if (line.size() > kMaxRequestLine || !is_valid_utf8(line)) return std::nullopt;
  Reader in(line);
  auto request = read_request(in, 0);
  if (!request || !in.finish()) return std::nullopt;
  return std::move(*request);
}

std::string ok_reply(const json::Value& data) {
  std::string out = R"({"status":"ok","data":)";
  json::Writer writer(out);
  json::write(writer, data);
  out += "}\n";
  return out;
}

std::string error_reply(std::string_view message) {
  std::string out = R"({"status":"error","message":)";
  json::append_escaped(out, message);
  out += "}\n";
  return out;
}

bool token_matches(std::string_view given, std::string_view expected) {
  if (given.size() != expected.size()) return false;
  unsigned char acc = 0;
  for (std::size_t i = 0; i < given.size(); ++i) {
    acc |= static_cast<unsigned char>(given[i] ^ expected[i]);
    // The compiler may not assume anything about `acc` here, so it cannot
    // leave the loop once a difference has been seen.
    asm volatile("" : "+r"(acc));
  }
  return acc == 0;
}

}  // namespace vesk::ipc
