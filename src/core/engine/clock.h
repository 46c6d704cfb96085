// Where the engine reads the current instant. Tests substitute their own.
#pragma once

#include "time/instant.h"

namespace vesk {

class Clock {
 public:
  virtual ~Clock() = default;
  virtual Instant now() const = 0;
};

class SystemClock final : public Clock {
 public:
  Instant now() const override { return Instant::now(); }
};

}  // namespace vesk
