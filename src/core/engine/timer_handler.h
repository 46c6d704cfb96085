// The engine's view of a registered function.
#pragma once

#include <expected>
#include <string>

namespace vesk {

class TimerHandler {
 public:
  virtual ~TimerHandler() = default;
  // The function's name, shown in status views.
  virtual std::string name() const = 0;
  // Runs the function once; success, or the failure's text. May block for
  // any time; never called with an engine lock held.
  virtual std::expected<void, std::string> call(const std::string& timer_id, const std::string& run_id) = 0;
};

}  // namespace vesk
