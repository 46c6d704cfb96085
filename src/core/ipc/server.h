// The control channel's server: a Unix socket `vesk.sock` and a loopback
// TCP listener (its address in `vesk.port`) in the data directory, both
// demanding the token kept in `vesk.token`.
#pragma once

#include <memory>

#include "engine/engine.h"
#include "error.h"

namespace vesk::ipc {

class Server {
 public:
  // Loads or creates the token, binds both endpoints and starts their accept
  // loops. The loops run while their file (`vesk.sock`, `vesk.port`) exists.
  [[nodiscard]] static Result<std::unique_ptr<Server>> start(std::shared_ptr<Engine> engine);

  // Removes `vesk.sock` and `vesk.port`, which ends the accept loops, closes
  // connections still waiting for their request line, and waits for every
  // thread of the server.
  void stop();
  ~Server();

  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  struct State;

 private:
  explicit Server(std::shared_ptr<State> state) : state_(std::move(state)) {}
  std::shared_ptr<State> state_;
};

// "IPC unavailable: refusing to bind IPC to non-loopback host ..." unless the
// host is exactly 127.0.0.1, localhost or ::1, or the override is given.
[[nodiscard]] Result<void> check_host(const std::string& host, bool allow_remote);

}  // namespace vesk::ipc
