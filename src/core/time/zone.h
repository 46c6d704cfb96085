// IANA time-zone lookup over the system's tz database (through cctz).
#pragma once

#include <string_view>

#include <cctz/time_zone.h>

#include "error.h"

namespace vesk {

// The zone of that exact, case-sensitive name, or "invalid timezone: " + name.
//
// A name is valid only when it is a zone or link name of the database (as
// listed in its index, tzdata.zi): "UTC", "Europe/Paris", "US/Eastern". A name
// is never a path: absolute paths, "..", "posix/...", "right/...",
// "localtime", "posixrules" and cctz's "Fixed/..." names are all rejected.
//
// Each zone is loaded once and then served from a cache; safe to call from
// any thread. The database directory is $TZDIR, else /usr/share/zoneinfo.
Result<cctz::time_zone> lookup_zone(std::string_view name);

}  // namespace vesk
