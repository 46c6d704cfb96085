#include "timer/schedule.h"

#include "time/zone.h"
#include "timer/cron.h"

namespace vesk {

Result<std::optional<Instant>> next_fire(const Schedule& schedule, Instant now, std::string_view timezone) {
  const auto zone = lookup_zone(timezone);
  if (!zone) return std::unexpected(zone.error());

  struct Visitor {
    const cctz::time_zone& zone;
    Instant now;

    Result<std::optional<Instant>> operator()(const CronSchedule& cron) const {
      const auto expr = parse_cron(cron.expr);
      if (!expr) return std::unexpected(EngineError::invalid_cron(std::string(kCronParseError)));
      return next_occurrence(*expr, zone, now);
    }
    Result<std::optional<Instant>> operator()(const EverySchedule& every) const {
      return add_seconds(now, every.seconds);
    }
    Result<std::optional<Instant>> operator()(const AtSchedule& at) const {
      return at.at > now ? std::optional(at.at) : std::nullopt;
    }
    Result<std::optional<Instant>> operator()(const AfterSchedule& after) const {
      const auto due = add_seconds(after.registered_at, after.seconds);
      return due && *due > now ? due : std::nullopt;
    }
  };
  return std::visit(Visitor{*zone, now}, schedule);
}

}  // namespace vesk
