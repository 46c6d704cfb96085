#include "remote/http.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "decimal.h"
#include "error.h"
#include "storage/file_io.h"
#include "utf8.h"

namespace vesk::remote {

bool has_control_character(std::string_view s) {
  for (const char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7F) return true;
  }
  return false;
}

namespace {

constexpr std::size_t kMaxResponse = std::size_t{64} * 1024 * 1024;

std::unexpected<std::string> fail(std::string text) { return std::unexpected(std::move(text)); }
std::unexpected<std::string> os_fail(int errnum) { return fail(system_error_description(errnum)); }

int poll_millis(std::chrono::nanoseconds limit) {
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(limit).count();
  return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

timeval to_timeval(std::chrono::nanoseconds limit) {
  auto us = std::chrono::ceil<std::chrono::microseconds>(limit).count();
  if (us < 1) us = 1;  // a zero timeval would mean "no limit"
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(us / 1'000'000);
  tv.tv_usec = static_cast<suseconds_t>(us % 1'000'000);
  return tv;
}

std::expected<UniqueFd, std::string> connect_to(const std::string& authority, std::chrono::nanoseconds limit) {
  const std::size_t colon = authority.rfind(':');
  if (colon == std::string::npos) return fail("invalid socket address");
  std::string host = authority.substr(0, colon);
  const std::string port = authority.substr(colon + 1);
  const auto port_number = parse_decimal(port, 65535);
  if (!port_number) return fail("invalid socket address");
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);

  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(*port_number);
  const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
  if (rc != 0) {
    if (rc == EAI_SYSTEM) return os_fail(errno);
    return fail(::gai_strerror(rc));
  }
  if (found == nullptr) return fail("could not resolve server " + authority);

  // Only the first address is tried.
  const int family = found->ai_family;
  const int socktype = found->ai_socktype;
  const int protocol = found->ai_protocol;
  sockaddr_storage address{};
  const socklen_t address_len = found->ai_addrlen;
  std::memcpy(&address, found->ai_addr, address_len);
  ::freeaddrinfo(found);

  UniqueFd fd(::socket(family, socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, protocol));
  if (!fd) return os_fail(errno);

  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), address_len) != 0) {
    if (errno != EINPROGRESS && errno != EINTR) return os_fail(errno);
    pollfd p{fd.get(), POLLOUT, 0};
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      const auto left = deadline - std::chrono::steady_clock::now();
      if (left <= std::chrono::nanoseconds::zero()) return os_fail(ETIMEDOUT);
      const int n = ::poll(&p, 1, poll_millis(left));
      if (n < 0) {
        if (errno == EINTR) continue;
        return os_fail(errno);
      }
      if (n == 0) return os_fail(ETIMEDOUT);
      break;
    }
    int so_error = 0;
    socklen_t len = sizeof so_error;
    if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &so_error, &len) != 0) return os_fail(errno);
    if (so_error != 0) return os_fail(so_error);
  }

  const int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) return os_fail(errno);
  const timeval tv = to_timeval(limit);
  if (::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) return os_fail(errno);
  if (::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0) return os_fail(errno);
  return fd;
}

std::expected<std::string, std::string> receive_all(int fd) {
  std::string out;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return os_fail(errno);
    }
    if (n == 0) return out;
    if (out.size() + static_cast<std::size_t>(n) > kMaxResponse) return fail("HTTP response larger than 64 MiB");
    out.append(buffer, static_cast<std::size_t>(n));
  }
}

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

// The status code: the second white-space separated word of the status line.
std::expected<std::uint32_t, std::string> status_code(std::string_view head) {
  std::string_view line = head.substr(0, head.find('\n'));
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  std::size_t i = 0;
  const auto next_word = [&]() -> std::string_view {
    while (i < line.size() && is_space(line[i])) ++i;
    const std::size_t start = i;
    while (i < line.size() && !is_space(line[i])) ++i;
    return line.substr(start, i - start);
  };
  (void)next_word();
  const auto code = parse_decimal(next_word(), 65535);
  if (!code) return fail("invalid HTTP status line");
  return static_cast<std::uint32_t>(*code);
}

std::string failure_message(const json::Value& value) {
  if (!value.is<json::Object>()) return "HTTP request failed";
  if (const json::Value* error = value.find("error")) {
    return error->is<std::string>() ? error->as<std::string>() : "HTTP request failed";
  }
  if (const json::Value* message = value.find("message"); message && message->is<std::string>()) {
    return message->as<std::string>();
  }
  return "HTTP request failed";
}

}  // namespace

std::string server_authority(std::string_view server) {
  std::string_view s = trim_unicode_space(server);
  constexpr std::string_view kScheme = "http://";
  while (s.starts_with(kScheme)) s.remove_prefix(kScheme.size());
  while (s.ends_with('/')) s.remove_suffix(1);
  return std::string(s);
}

std::expected<json::Value, std::string> http_request(std::string_view server, std::string_view token,
                                                     std::string_view method, std::string_view path,
                                                     const json::Value* body, std::chrono::nanoseconds limit) {
  // Control characters would let a caller inject header lines.
  if (has_control_character(method)) return fail("invalid request: method contains a control character");
  if (has_control_character(path)) return fail("invalid request: path contains a control character");
  if (has_control_character(token)) return fail("invalid request: token contains a control character");
  if (limit <= std::chrono::nanoseconds::zero()) return fail("cannot set a 0 duration timeout");

  const std::string authority = server_authority(server);
  const std::string payload = body != nullptr ? json::to_string(*body) : std::string();

  std::string request;
  request.append(method).append(" ").append(path).append(" HTTP/1.1\r\n");
  request.append("Host: ").append(authority).append("\r\n");
  request.append("Authorization: Bearer ").append(token).append("\r\n");
  request.append("Content-Type: application/json\r\n");
  request.append("Content-Length: ").append(std::to_string(payload.size())).append("\r\n");
  request.append("Connection: close\r\n\r\n");
  request.append(payload);

  auto fd = connect_to(authority, limit);
  if (!fd) return std::unexpected(std::move(fd.error()));
  if (auto sent = send_all(fd->get(), request); !sent) return fail(sent.error().detail());
  auto response = receive_all(fd->get());
  fd->reset();
  if (!response) return std::unexpected(std::move(response.error()));
  if (!is_valid_utf8(*response)) return fail("stream did not contain valid UTF-8");

  const std::size_t split = response->find("\r\n\r\n");
  if (split == std::string::npos) return fail("invalid HTTP response");
  const std::string_view head = std::string_view(*response).substr(0, split);
  const std::string_view text = std::string_view(*response).substr(split + 4);
  auto code = status_code(head);
  if (!code) return std::unexpected(std::move(code.error()));

  auto value = json::parse(text);
  if (!value) return fail(std::move(value.error().message));
  if (*code >= 200 && *code <= 299) return std::move(*value);
  return fail("HTTP " + std::to_string(*code) + " from " + authority + ": " + failure_message(*value));
}

}  // namespace vesk::remote
