#include "ipc/server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <set>
#include <thread>

#include "decimal.h"
#include "engine/thread_pool.h"
#include "ipc/protocol.h"
#include "random_bytes.h"
#include "storage/event_log.h"
#include "storage/file_io.h"
#include "storage/records.h"
#include "utf8.h"

namespace vesk::ipc {
namespace {

using namespace std::chrono_literals;

// Connections served at once; one more is closed without a reply, so that a
// flood of connections cannot exhaust the process's threads.
constexpr int kMaxConnections = 64;
// How long a connection may take to send its request line.
constexpr auto kRequestDeadline = 30s;
constexpr auto kAcceptPoll = 50ms;
constexpr auto kShutdownLimit = 5s;

Result<std::string> read_token_file(const std::string& path) {
  auto text = read_file(path);
  if (!text) return std::unexpected(text.error());
  return std::string(trim_unicode_space(*text));
}

Result<std::string> new_token() {
  std::array<std::uint8_t, 32> bytes{};
  if (const int failure = fill_random(bytes); failure != 0) {
    return std::unexpected(EngineError::ipc("failed to generate token: " + system_error_description(failure)));
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string token;
  for (const std::uint8_t b : bytes) {
    token.push_back(kHex[b >> 4]);
    token.push_back(kHex[b & 15]);
  }
  return token;
}

// The token of `vesk.token`, created when missing. An empty token would let
// anyone in: a file that holds nothing but white space (a crash between
// creating and writing it) is replaced as if it were missing.
Result<std::string> load_or_create_token(const std::string& data_dir) {
  const std::string path = join_path(data_dir, "vesk.token");
  if (file_size(path)) {
    auto token = read_token_file(path);
    if (!token) return token;
    if (!token->empty()) return token;
    auto fresh = new_token();
    if (!fresh) return fresh;
    if (auto replaced = replace_file(data_dir, path, path + ".tmp", *fresh + "\n"); !replaced) {
      return std::unexpected(replaced.error());
    }
    return fresh;
  }
  auto token = new_token();
  if (!token) return token;
  if (auto written = write_private_file(path, *token + "\n", O_EXCL); !written) {
    return std::unexpected(written.error());
  }
  return token;
}

std::optional<std::string> environment(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

// VESK_IPC_PORT as a number 0..65535 (a leading "+" allowed); 0 otherwise.
std::uint16_t chosen_port() {
  auto text = environment("VESK_IPC_PORT");
  if (!text) return 0;
  return static_cast<std::uint16_t>(parse_decimal(*text, 65535).value_or(0));
}

std::string address_text(const sockaddr_storage& address) {
  char host[INET6_ADDRSTRLEN] = {};
  if (address.ss_family == AF_INET6) {
    const auto& in6 = reinterpret_cast<const sockaddr_in6&>(address);
    ::inet_ntop(AF_INET6, &in6.sin6_addr, host, sizeof host);
    return "[" + std::string(host) + "]:" + std::to_string(ntohs(in6.sin6_port));
  }
  const auto& in4 = reinterpret_cast<const sockaddr_in&>(address);
  ::inet_ntop(AF_INET, &in4.sin_addr, host, sizeof host);
  return std::string(host) + ":" + std::to_string(ntohs(in4.sin_port));
}

Result<UniqueFd> bind_tcp(const std::string& host, std::uint16_t port, std::string& local) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  if (::getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0 || found == nullptr) {
    return std::unexpected(EngineError::io("could not resolve to any addresses"));
  }
  std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> addresses(found, ::freeaddrinfo);
  int last_error = 0;
  for (const addrinfo* a = addresses.get(); a != nullptr; a = a->ai_next) {
    UniqueFd fd(::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol));
    if (!fd) {
      last_error = errno;
      continue;
    }
    const int yes = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (::bind(fd.get(), a->ai_addr, a->ai_addrlen) != 0 || ::listen(fd.get(), 128) != 0) {
      last_error = errno;
      continue;
    }
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    if (::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&bound), &length) != 0) return last_os_error();
    local = address_text(bound);
    return fd;
  }
  return std::unexpected(EngineError::io_errno(last_error));
}

Result<UniqueFd> bind_unix(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return std::unexpected(EngineError::io_errno(ENAMETOOLONG));
  path.copy(address.sun_path, path.size());
  ::unlink(path.c_str());  // a stale socket of a crashed process
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd) return last_os_error();
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return last_os_error();
  if (::listen(fd.get(), SOMAXCONN) != 0) return last_os_error();
  if (auto mode = set_mode(path, 0600); !mode) return std::unexpected(mode.error());
  return fd;
}

// The request line: bytes up to and including the first line feed, or
// nothing (the stream ended, failed, timed out or grew past the bound).
std::optional<std::string> read_request_line(int fd) {
  std::string line;
  char buffer[8192];
  while (line.size() <= kMaxRequestLine) {
    const std::size_t want = std::min(sizeof buffer, kMaxRequestLine + 1 - line.size());
    const ssize_t n = ::recv(fd, buffer, want, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::nullopt;
    const std::string_view chunk(buffer, static_cast<std::size_t>(n));
    if (const auto lf = chunk.find('\n'); lf != std::string_view::npos) {
      line.append(chunk.substr(0, lf + 1));
      if (line.size() > kMaxRequestLine) return std::nullopt;
      return line;
    }
    line.append(chunk);
  }
  return std::nullopt;
}

}  // namespace

struct Server::State {
  std::shared_ptr<Engine> engine;
  std::string token;
  std::string sock_path;
  std::string port_path;

  // Connection handlers and shutdown requests; joined by `stop`.
  std::unique_ptr<ThreadPool> pool = std::make_unique<ThreadPool>(std::chrono::seconds(10));

  std::mutex mutex;  // guards everything below
  std::set<int> open_connections;
  int connections = 0;
  // The listeners while their loops run (-1 after), so that `stop` can end a
  // loop's wait at once instead of after its next poll.
  int tcp_listener = -1;
  int unix_listener = -1;
  std::thread tcp_loop;
  std::thread unix_loop;
  bool stopped = false;

  json::Value execute(const IpcRequest& request, std::optional<EngineError>& failure);
  void serve(int connection);
  void accept_loop(UniqueFd listener, const std::string& watched, int& slot);
  void spawn(std::function<void()> work);
};

void Server::State::spawn(std::function<void()> work) {
  std::lock_guard lock(mutex);
  if (stopped) return;
  try {
    pool->submit(std::move(work));
  } catch (...) {
    // No thread for it: the request is dropped.
  }
}

json::Value Server::State::execute(const IpcRequest& request, std::optional<EngineError>& failure) {
  struct Visitor {
    State& s;
    std::optional<EngineError>& failure;

    json::Value operator()(const std::unique_ptr<AuthRequest>&) const {
      failure = EngineError::ipc("nested auth request is invalid");
      return {};
    }
    json::Value operator()(const StatusRequest& r) const {
      const auto status = s.engine->status(r.name);
      return status ? to_json(*status) : json::Value();
    }
    json::Value operator()(const ListRequest&) const {
      json::Array items;
      for (const TimerStatus& status : s.engine->list()) items.push_back(to_json(status));
      return items;
    }
    json::Value operator()(const HistoryRequest& r) const {
      const std::string log_path = join_path(s.engine->data_dir(), kLogFile);
      if (auto created = AofWriter::open(log_path); !created) {
        failure = created.error();
        return {};
      }
      auto entries = read_aof(log_path);
      if (!entries) {
        failure = entries.error();
        return {};
      }
      std::vector<const LogEntry*> matching;
      for (const LogEntry& entry : *entries) {
        if (event_timer_id(entry.event) == r.name) matching.push_back(&entry);
      }
      std::size_t first = 0;
      if (r.limit && *r.limit < matching.size()) first = matching.size() - static_cast<std::size_t>(*r.limit);
      json::Array items;
      for (std::size_t i = first; i < matching.size(); ++i) items.push_back(log_entry_to_value(*matching[i]));
      return items;
    }
    json::Value operator()(const ShutdownRequest&) const {
      std::shared_ptr<Engine> engine = s.engine;
      s.spawn([engine] { (void)engine->shutdown(kShutdownLimit); });
      json::Object data;
      data.emplace("shutdown", "requested");
      return data;
    }
    json::Value operator()(const CompactRequest&) const {
      if (auto compacted = s.engine->compact(); !compacted) {
        failure = compacted.error();
        return {};
      }
      json::Object data;
      data.emplace("compacted", true);
      return data;
    }
    json::Value doctor() const {
      json::Object data;
      data.emplace("data_dir", s.engine->data_dir());
      data.emplace("lock_path", s.engine->lock_path());
      data.emplace("socket_path", s.sock_path);
      data.emplace("timers", json::Value(static_cast<std::uint64_t>(s.engine->timer_count())));
      return data;
    }
    json::Value operator()(const DoctorRequest&) const { return doctor(); }
    json::Value operator()(const RuntimeStatusRequest&) const { return doctor(); }
  };
  return std::visit(Visitor{*this, failure}, request);
}

void Server::State::serve(int connection) {
  const auto line = read_request_line(connection);
  if (!line) return;
  const auto request = parse_request(*line);
  if (!request) return;
  const auto* auth = std::get_if<std::unique_ptr<AuthRequest>>(&*request);
  if (auth == nullptr) {
    (void)send_all(connection, error_reply("missing IPC token"));  // a client that went away is no concern
    return;
  }
  if (!token_matches((*auth)->token, token)) {
    (void)send_all(connection, error_reply("invalid IPC token"));
    return;
  }
  std::optional<EngineError> failure;
  const json::Value data = execute((*auth)->inner, failure);
  (void)send_all(connection, failure ? error_reply(failure->message()) : ok_reply(data));
}

void Server::State::accept_loop(UniqueFd listener, const std::string& watched, int& slot) {
  // Whatever ends the loop, the slot is cleared before the listener closes.
  struct ClearSlot {
    State& s;
    int& slot;
    ~ClearSlot() {
      std::lock_guard lock(s.mutex);
      slot = -1;
    }
  } clear{*this, slot};
  while (true) {
    UniqueFd connection(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!connection) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return;
      struct stat info;
      if (::stat(watched.c_str(), &info) != 0) return;
      // Wait for a connection, at most one poll interval; `stop` shutting
      // the listener down ends the wait at once.
      pollfd ready{listener.get(), POLLIN, 0};
      ::poll(&ready, 1, static_cast<int>(kAcceptPoll.count()));
      continue;
    }
    std::unique_lock lock(mutex);
    if (stopped || connections >= kMaxConnections) continue;  // closed without a reply
    const timeval deadline{static_cast<time_t>(kRequestDeadline.count()), 0};
    ::setsockopt(connection.get(), SOL_SOCKET, SO_RCVTIMEO, &deadline, sizeof deadline);
    ::setsockopt(connection.get(), SOL_SOCKET, SO_SNDTIMEO, &deadline, sizeof deadline);
    const int fd = connection.get();
    auto handler = [this, held = std::make_shared<UniqueFd>(std::move(connection))] {
      serve(held->get());
      // Closed under the lock: `stop` must never shut down a reused number.
      std::lock_guard done(mutex);
      open_connections.erase(held->get());
      --connections;
      held->reset();
    };
    try {
      pool->submit(std::move(handler));
      ++connections;
      open_connections.insert(fd);
    } catch (...) {
      // No thread for it: the connection is closed without a reply.
    }
  }
}

Result<void> check_host(const std::string& host, bool allow_remote) {
  if (host == "127.0.0.1" || host == "localhost" || host == "::1" || allow_remote) return {};
  return std::unexpected(EngineError::ipc("refusing to bind IPC to non-loopback host " + host +
                                          "; set VESK_UNSAFE_ALLOW_REMOTE_IPC=1 only if you understand the risk"));
}

Result<std::unique_ptr<Server>> Server::start(std::shared_ptr<Engine> engine) {
  const std::string data_dir = engine->data_dir();
  if (auto created = create_directories(data_dir); !created) return std::unexpected(created.error());
  if (auto narrowed = set_mode(data_dir, 0700); !narrowed) return std::unexpected(narrowed.error());
  auto token = load_or_create_token(data_dir);
  if (!token) return std::unexpected(token.error());

  const std::string host = environment("VESK_IPC_HOST").value_or("127.0.0.1");
  if (auto allowed = check_host(host, environment("VESK_UNSAFE_ALLOW_REMOTE_IPC") == "1"); !allowed) {
    return std::unexpected(allowed.error());
  }
  std::string local;
  auto tcp = bind_tcp(host, chosen_port(), local);
  if (!tcp) return std::unexpected(tcp.error());

  auto state = std::make_shared<State>();
  state->engine = std::move(engine);
  state->token = std::move(*token);
  state->sock_path = join_path(data_dir, "vesk.sock");
  state->port_path = join_path(data_dir, "vesk.port");
  std::unique_ptr<Server> server(new Server(state));

  if (auto written = write_private_file(state->port_path, local + "\n", O_TRUNC); !written) {
    return std::unexpected(written.error());
  }
  state->tcp_listener = tcp->get();
  state->tcp_loop = std::thread([s = state.get(), fd = std::make_shared<UniqueFd>(std::move(*tcp))] {
    s->accept_loop(std::move(*fd), s->port_path, s->tcp_listener);
  });
  auto unix_listener = bind_unix(state->sock_path);
  if (!unix_listener) return std::unexpected(unix_listener.error());  // the server's destructor stops the TCP loop
  state->unix_listener = unix_listener->get();
  state->unix_loop = std::thread([s = state.get(), fd = std::make_shared<UniqueFd>(std::move(*unix_listener))] {
    s->accept_loop(std::move(*fd), s->sock_path, s->unix_listener);
  });
  return server;
}

void Server::stop() {
  State& s = *state_;
  {
    std::lock_guard lock(s.mutex);
    if (s.stopped) return;
    s.stopped = true;
  }
  ::unlink(s.sock_path.c_str());
  ::unlink(s.port_path.c_str());
  {
    std::lock_guard lock(s.mutex);
    for (const int listener : {s.unix_listener, s.tcp_listener}) {
      if (listener >= 0) ::shutdown(listener, SHUT_RDWR);
    }
  }
  if (s.unix_loop.joinable()) s.unix_loop.join();
  if (s.tcp_loop.joinable()) s.tcp_loop.join();
  {
    std::lock_guard lock(s.mutex);
    // A client still owing its request line gets no more time.
    for (const int fd : s.open_connections) ::shutdown(fd, SHUT_RDWR);
  }
  s.pool.reset();  // waits for every handler
}

Server::~Server() { stop(); }

}  // namespace vesk::ipc
