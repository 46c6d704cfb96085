#include "ipc/server.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "storage/data_dir.h"
#include "temp_dir.h"

namespace vesk::ipc {
namespace {

using namespace std::chrono_literals;

class Handler final : public TimerHandler {
 public:
  std::string name() const override { return "job"; }
  std::expected<void, std::string> call(const std::string&, const std::string&) override { return {}; }
};

class IpcServerTest : public testing::TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    auto storage = open_engine(path("data"));
    ASSERT_TRUE(storage) << storage.error().message();
    engine_ = Engine::create(std::move(*storage));
    ASSERT_TRUE(engine_->register_timer("t", EverySchedule{3600}, std::nullopt, std::nullopt,
                                        std::make_shared<Handler>()));
    ASSERT_TRUE(engine_->start_scheduler());
    auto server = Server::start(engine_);
    ASSERT_TRUE(server) << server.error().message();
    server_ = std::move(*server);
    token_ = testing::read_file(path("data/vesk.token"));
    token_.pop_back();  // the line feed
  }
  void TearDown() override {
    if (server_) server_->stop();
    if (engine_) (void)engine_->shutdown(5s);
    TempDirTest::TearDown();
  }

  // One exchange over vesk.sock: everything the server sends back.
  std::string exchange(const std::string& line) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string sock = path("data/vesk.sock");
    sock.copy(address.sun_path, sock.size());
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      ::close(fd);
      return "<no connection>";
    }
    (void)::send(fd, line.data(), line.size(), MSG_NOSIGNAL);
    ::shutdown(fd, SHUT_WR);
    std::string reply;
    char buffer[4096];
    ssize_t n;
    while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0) reply.append(buffer, static_cast<std::size_t>(n));
    ::close(fd);
    return reply;
  }

  std::string authed(const std::string& inner) {
    return exchange(R"({"cmd":"auth","token":")" + token_ + R"(","inner":)" + inner + "}\n");
  }

  std::shared_ptr<Engine> engine_;
  std::unique_ptr<Server> server_;
  std::string token_;
};

TEST_F(IpcServerTest, AnswersOverTheUnixSocket) {
  EXPECT_EQ(exchange("{\"cmd\":\"list\"}\n"), "{\"status\":\"error\",\"message\":\"missing IPC token\"}\n");
  EXPECT_EQ(authed(R"({"cmd":"status","name":"nope"})"), "{\"status\":\"ok\",\"data\":null}\n");
  EXPECT_TRUE(authed(R"({"cmd":"list"})").starts_with("{\"status\":\"ok\",\"data\":[{\"fn_name\":\"job\",\"id\":\"t\""));
  EXPECT_EQ(authed(R"({"cmd":"doctor"})"), authed(R"({"cmd":"runtime_status"})"));
  EXPECT_EQ(exchange("garbage\n"), "");
}

TEST_F(IpcServerTest, ConcurrentClientsAndAShutdownRequest) {
  std::vector<std::thread> clients;
  std::atomic<int> answered = 0;
  for (int i = 0; i < 8; ++i) {
    clients.emplace_back([&] {
      for (int j = 0; j < 20; ++j) answered += authed(R"({"cmd":"status","name":"t"})").starts_with("{\"status\":\"ok\"");
    });
  }
  for (auto& client : clients) client.join();
  EXPECT_EQ(answered.load(), 160);
  EXPECT_EQ(authed(R"({"cmd":"shutdown"})"), "{\"status\":\"ok\",\"data\":{\"shutdown\":\"requested\"}}\n");
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (engine_->register_timer("u", EverySchedule{1}, std::nullopt, std::nullopt, std::make_shared<Handler>())) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline);
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_TRUE(authed(R"({"cmd":"list"})").starts_with("{\"status\":\"ok\""));  // the server keeps running
}

TEST_F(IpcServerTest, StopRemovesTheFilesAndKeepsTheToken) {
  server_->stop();
  EXPECT_FALSE(std::filesystem::exists(path("data/vesk.sock")));
  EXPECT_FALSE(std::filesystem::exists(path("data/vesk.port")));
  EXPECT_TRUE(std::filesystem::exists(path("data/vesk.token")));
  EXPECT_EQ(exchange("{\"cmd\":\"list\"}\n"), "<no connection>");
}

TEST(IpcHostTest, OnlyLoopbackUnlessAllowed) {
  for (const char* host : {"127.0.0.1", "localhost", "::1"}) EXPECT_TRUE(check_host(host, false)) << host;
  for (const char* host : {"0.0.0.0", "127.0.0.2", "LOCALHOST", "::", ""}) {
    const auto refused = check_host(host, false);
    ASSERT_FALSE(refused) << host;
    EXPECT_EQ(refused.error().message(), std::string("IPC unavailable: refusing to bind IPC to non-loopback host ") +
                                             host + "; set VESK_UNSAFE_ALLOW_REMOTE_IPC=1 only if you understand the risk");
  }
  EXPECT_TRUE(check_host("0.0.0.0", true));
}

}  // namespace
}  // namespace vesk::ipc
