#include "random_bytes.h"

#include <sys/random.h>

#include <cerrno>

namespace vesk {

int fill_random(std::span<std::uint8_t> out) {
  std::size_t filled = 0;
  while (filled < out.size()) {
    const ssize_t n = ::getrandom(out.data() + filled, out.size() - filled, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? errno : EIO;
    filled += static_cast<std::size_t>(n);
  }
  return 0;
}

}  // namespace vesk
