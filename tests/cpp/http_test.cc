#include "remote/http.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "storage/file_io.h"

namespace vesk::remote {
namespace {

using namespace std::chrono_literals;

// A listening socket on 127.0.0.1 with a free port.
UniqueFd listen_loopback(std::uint16_t& port) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  EXPECT_EQ(::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  EXPECT_EQ(::listen(fd.get(), 4), 0);
  socklen_t len = sizeof address;
  EXPECT_EQ(::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &len), 0);
  port = ntohs(address.sin_port);
  return fd;
}

// Accepts one connection, records the request (head plus Content-Length
// bytes), writes `response` and closes. With `hold_open` it keeps the
// connection until the client closes it.
class TestServer {
 public:
  TestServer(std::string response, bool hold_open = false) : listener_(listen_loopback(port_)) {
    thread_ = std::thread([this, response = std::move(response), hold_open] { serve(response, hold_open); });
  }
  ~TestServer() {
    // Wakes a server still waiting in accept() when no client ever came.
    ::shutdown(listener_.get(), SHUT_RDWR);
    join();
  }

  std::string authority() const { return "127.0.0.1:" + std::to_string(port_); }
  // The raw request; waits for the server to finish.
  const std::string& request() {
    join();
    return request_;
  }

 private:
  void join() {
    if (thread_.joinable()) thread_.join();
  }

  void serve(const std::string& response, bool hold_open) {
    UniqueFd conn(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!conn) return;
    char buffer[4096];
    std::size_t wanted = std::string::npos;
    while (true) {
      const std::size_t end = request_.find("\r\n\r\n");
      if (end != std::string::npos && wanted == std::string::npos) {
        std::size_t length = 0;
        const std::string key = "Content-Length: ";
        if (const std::size_t at = request_.find(key); at != std::string::npos && at < end) {
          length = std::stoul(request_.substr(at + key.size()));
        }
        wanted = end + 4 + length;
      }
      if (wanted != std::string::npos && request_.size() >= wanted) break;
      const ssize_t n = ::recv(conn.get(), buffer, sizeof buffer, 0);
      if (n <= 0) break;
      request_.append(buffer, static_cast<std::size_t>(n));
    }
    (void)::send(conn.get(), response.data(), response.size(), MSG_NOSIGNAL);
    if (hold_open) {
      // Until the client gives up and closes its end.
      while (::recv(conn.get(), buffer, sizeof buffer, 0) > 0) {
      }
    }
  }

  std::uint16_t port_ = 0;
  UniqueFd listener_;
  std::thread thread_;
  std::string request_;
};

std::expected<json::Value, std::string> get(const std::string& server, std::chrono::nanoseconds limit = 10s) {
  return http_request(server, "tok", "GET", "/timers", nullptr, limit);
}

TEST(HttpTest, ServerAuthorityIsNormalised) {
  const struct {
    std::string in;
    std::string out;
  } cases[] = {
      {"127.0.0.1:80", "127.0.0.1:80"},
      {"  http://http://127.0.0.1:80//  ", "127.0.0.1:80"},
      {"\t\nhost:1/\r\n", "host:1"},
      {"\xC2\xA0\xE3\x80\x80host:1\xE2\x80\xA8", "host:1"},  // NBSP, ideographic space, line separator
      {"https://host:1", "https://host:1"},
      {"host:1/path/", "host:1/path"},
      {"http://", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(server_authority(c.in), c.out) << c.in;
}

TEST(HttpTest, GetRequestBytesAreExact) {
  TestServer server("HTTP/1.1 200 OK\r\n\r\n[]");
  auto result = get(server.authority());
  ASSERT_TRUE(result) << result.error();
  EXPECT_EQ(*result, json::Value(json::Array{}));
  EXPECT_EQ(server.request(), "GET /timers HTTP/1.1\r\nHost: " + server.authority() +
                                  "\r\nAuthorization: Bearer tok\r\nContent-Type: application/json\r\n"
                                  "Content-Length: 0\r\nConnection: close\r\n\r\n");
}

TEST(HttpTest, PostRequestCarriesSortedCompactBody) {
  TestServer server("HTTP/1.1 201 Created\r\nContent-Type: application/json\r\n\r\n{\"ok\":true}");
  const json::Value body(json::Object{{"b", 1}, {"a", json::Array{true, nullptr}}});
  auto result = http_request(server.authority(), "secret", "POST", "/timers/x/trigger", &body, 10s);
  ASSERT_TRUE(result) << result.error();
  EXPECT_EQ(*result, json::Value(json::Object{{"ok", true}}));
  EXPECT_EQ(server.request(), "POST /timers/x/trigger HTTP/1.1\r\nHost: " + server.authority() +
                                  "\r\nAuthorization: Bearer secret\r\nContent-Type: application/json\r\n"
                                  "Content-Length: 23\r\nConnection: close\r\n\r\n{\"a\":[true,null],\"b\":1}");
}

TEST(HttpTest, HostHeaderUsesNormalisedAuthority) {
  TestServer server("HTTP/1.1 200 OK\r\n\r\nnull");
  const std::string messy = "  http://http://" + server.authority() + "//  ";
  auto result = get(messy);
  ASSERT_TRUE(result) << result.error();
  EXPECT_EQ(*result, json::Value());
  EXPECT_NE(server.request().find("\r\nHost: " + server.authority() + "\r\n"), std::string::npos)
      << server.request();
}

TEST(HttpTest, SuccessfulResponsesYieldTheValue) {
  const struct {
    std::string response;
    json::Value expected;
  } cases[] = {
      {"HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\n{\"n\":-3}", json::Value(json::Object{{"n", -3}})},
      {"HTTP/1.1 200\r\n\r\n{}", json::Value(json::Object{})},
      {"HTTP/1.1 299 Odd\r\n\r\n  \"x\"\n", json::Value("x")},
      {"HTTP/1.0 202 Accepted\r\n\r\n[1,2]", json::Value(json::Array{1, 2})},
  };
  for (const auto& c : cases) {
    TestServer server(c.response);
    auto result = get(server.authority());
    ASSERT_TRUE(result) << c.response << ": " << result.error();
    EXPECT_EQ(*result, c.expected) << c.response;
  }
}

TEST(HttpTest, FailedStatusesBecomeMessages) {
  const struct {
    std::string response;
    std::string suffix;  // after "HTTP <code> from <authority>"
  } cases[] = {
      {"HTTP/1.1 404 Not Found\r\n\r\n{\"error\":\"no such timer\"}", "404 from @: no such timer"},
      {"HTTP/1.1 404 Not Found\r\n\r\n{\"error\":5,\"message\":\"x\"}", "404 from @: HTTP request failed"},
      {"HTTP/1.1 500 Oops\r\n\r\n{\"message\":\"boom\"}", "500 from @: boom"},
      {"HTTP/1.1 500 Oops\r\n\r\n{\"message\":7}", "500 from @: HTTP request failed"},
      {"HTTP/1.1 401\r\n\r\n[\"error\"]", "401 from @: HTTP request failed"},
      {"HTTP/1.1 199 Early\r\n\r\n{}", "199 from @: HTTP request failed"},
      {"HTTP/1.1 300 Moved\r\n\r\n\"text\"", "300 from @: HTTP request failed"},
  };
  for (const auto& c : cases) {
    TestServer server(c.response);
    auto result = get(server.authority());
    ASSERT_FALSE(result) << c.response;
    std::string expected = "HTTP " + c.suffix;
    expected.replace(expected.find('@'), 1, server.authority());
    EXPECT_EQ(result.error(), expected) << c.response;
  }
}

TEST(HttpTest, MalformedResponsesAreRejected) {
  const struct {
    std::string response;
    std::string error_part;  // contained in the error text
    bool exact;
  } cases[] = {
      {"HTTP/1.1 200 OK\r\n{}", "invalid HTTP response", true},
      {"", "invalid HTTP response", true},
      {"HTTP/1.1 abc\r\n\r\n{}", "invalid HTTP status line", true},
      {"HTTP/1.1\r\n\r\n{}", "invalid HTTP status line", true},
      {"HTTP/1.1 70000 Big\r\n\r\n{}", "invalid HTTP status line", true},
      {"HTTP/1.1 -1 Neg\r\n\r\n{}", "invalid HTTP status line", true},
      {"HTTP/1.1 200 OK\r\n\r\n{\"a\":\"\xFF\"}", "stream did not contain valid UTF-8", true},
      {"HTTP/1.1 200 OK\r\nX: \xC0\xAF\r\n\r\n{}", "stream did not contain valid UTF-8", true},
      {"HTTP/1.1 500 Oops\r\n\r\n<html>broken</html>", " at line 1 column ", false},
      {"HTTP/1.1 204 No Content\r\n\r\n", " at line 1 column ", false},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\n{}\r\n0\r\n\r\n", " at line ", false},
      {"HTTP/1.1 200 OK\r\n\r\n{} {}", " at line 1 column ", false},
  };
  for (const auto& c : cases) {
    TestServer server(c.response);
    auto result = get(server.authority());
    ASSERT_FALSE(result) << c.response;
    if (c.exact) {
      EXPECT_EQ(result.error(), c.error_part) << c.response;
    } else {
      EXPECT_NE(result.error().find(c.error_part), std::string::npos) << c.response << ": " << result.error();
      EXPECT_EQ(result.error().find("HTTP "), std::string::npos) << result.error();
    }
  }
}

TEST(HttpTest, HeldOpenConnectionTimesOut) {
  const std::string answers[] = {"HTTP/1.1 200 OK\r\n", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}"};
  for (const auto& answer : answers) {
    TestServer server(answer, /*hold_open=*/true);
    auto result = get(server.authority(), 200ms);
    ASSERT_FALSE(result) << answer;
    EXPECT_FALSE(result.error().empty());
    EXPECT_NE(result.error().find("os error"), std::string::npos) << result.error();
  }
}

TEST(HttpTest, ZeroLimitIsRefusedBeforeConnecting) {
  std::uint16_t port = 0;
  UniqueFd listener = listen_loopback(port);
  auto result = get("127.0.0.1:" + std::to_string(port), 0s);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), "cannot set a 0 duration timeout");
  pollfd p{listener.get(), POLLIN, 0};
  EXPECT_EQ(::poll(&p, 1, 0), 0) << "a connection was made";
}

TEST(HttpTest, ConnectionRefused) {
  std::uint16_t port = 0;
  {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t len = sizeof address;
    ASSERT_EQ(::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &len), 0);
    port = ntohs(address.sin_port);
  }
  auto result = get("127.0.0.1:" + std::to_string(port));
  ASSERT_FALSE(result);
  EXPECT_NE(result.error().find("Connection refused"), std::string::npos) << result.error();
  EXPECT_NE(result.error().find("(os error 111)"), std::string::npos) << result.error();
}

TEST(HttpTest, BadServerAddressesFail) {
  const std::string servers[] = {"127.0.0.1", "127.0.0.1:", "ftp://x:1", "", "127.0.0.1:abc", "127.0.0.1:65536"};
  for (const auto& server : servers) {
    auto result = get(server);
    ASSERT_FALSE(result) << server;
    EXPECT_FALSE(result.error().empty()) << server;
  }
  auto missing = get("127.0.0.1");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error(), "invalid socket address");
}

TEST(HttpTest, BracketedIpv6AddressIsAccepted) {
  // Nothing listens there; the point is that the address is understood and
  // a connection is attempted rather than failing the lookup.
  UniqueFd probe(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!probe) GTEST_SKIP() << "no IPv6";
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_addr = in6addr_loopback;
  if (::bind(probe.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) GTEST_SKIP() << "no ::1";
  socklen_t len = sizeof address;
  ASSERT_EQ(::getsockname(probe.get(), reinterpret_cast<sockaddr*>(&address), &len), 0);
  const std::uint16_t port = ntohs(address.sin6_port);
  probe.reset();
  auto result = get("[::1]:" + std::to_string(port));
  ASSERT_FALSE(result);
  EXPECT_NE(result.error().find("Connection refused"), std::string::npos) << result.error();
}

TEST(HttpTest, ControlCharactersAreRefusedBeforeConnecting) {
  const struct {
    std::string method, path, token, error;
  } cases[] = {
      {"GET", "/a\r\nX-Evil: 1", "tok", "invalid request: path contains a control character"},
      {"GET", "/a", "tok\nX-Evil: 1", "invalid request: token contains a control character"},
      {"GE\tT", "/a", "tok", "invalid request: method contains a control character"},
      {"GET", std::string("/a\0b", 4), "tok", "invalid request: path contains a control character"},
      {"GET", "/a", "t\x7Fk", "invalid request: token contains a control character"},
      {"GET\r\n", "/a\n", "t\n", "invalid request: method contains a control character"},
  };
  std::uint16_t port = 0;
  UniqueFd listener = listen_loopback(port);
  const std::string server = "127.0.0.1:" + std::to_string(port);
  for (const auto& c : cases) {
    auto result = http_request(server, c.token, c.method, c.path, nullptr, 10s);
    ASSERT_FALSE(result) << c.error;
    EXPECT_EQ(result.error(), c.error);
  }
  pollfd p{listener.get(), POLLIN, 0};
  EXPECT_EQ(::poll(&p, 1, 0), 0) << "a connection was made";
}

TEST(HttpTest, ResponsesAreCappedAt64MiB) {
  constexpr std::size_t kCap = std::size_t{64} * 1024 * 1024;
  const std::string head = "HTTP/1.1 200 OK\r\n\r\n";
  const auto response_of_size = [&](std::size_t size) {
    // A JSON string filling the response up to `size` bytes.
    return head + '"' + std::string(size - head.size() - 2, 'a') + '"';
  };
  {
    TestServer server(response_of_size(kCap));
    auto result = get(server.authority());
    ASSERT_TRUE(result) << result.error();
    EXPECT_EQ(result->as<std::string>().size(), kCap - head.size() - 2);
  }
  {
    TestServer server(response_of_size(kCap + 1));
    auto result = get(server.authority());
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), "HTTP response larger than 64 MiB");
  }
}

}  // namespace
}  // namespace vesk::remote
