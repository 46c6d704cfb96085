#include "time/zone.h"

#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>

namespace vesk {
namespace {

struct StringHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};

std::string zoneinfo_dir() {
  const char* dir = std::getenv("TZDIR");
  return dir != nullptr && *dir != '\0' ? dir : "/usr/share/zoneinfo";
}

// Names that resolve to files or built-ins of the loader but are not zones
// of the database.
bool is_never_a_zone(std::string_view name) {
  return name.empty() || name.front() == '/' || name.find("..") != std::string_view::npos ||
         name.starts_with("posix/") || name.starts_with("right/") || name.starts_with("Fixed/") ||
         name == "localtime" || name == "posixrules" || name.find('\0') != std::string_view::npos;
}

// The zone and link names listed in the database's index ("Z name ..." and
// "L target name" lines). Empty when the index is missing.
class NameIndex {
 public:
  NameIndex() {
    std::ifstream in(zoneinfo_dir() + "/tzdata.zi");
    std::string line;
    while (std::getline(in, line)) {
      if (line.size() < 3 || line[1] != ' ') continue;
      if (line[0] == 'Z') {
        const auto end = line.find(' ', 2);
        names_.emplace(line.substr(2, end == std::string::npos ? std::string::npos : end - 2));
      } else if (line[0] == 'L') {
        const auto space = line.find(' ', 2);
        if (space == std::string::npos) continue;
        const auto end = line.find(' ', space + 1);
        names_.emplace(line.substr(space + 1, end == std::string::npos ? std::string::npos : end - space - 1));
      }
    }
  }
  bool available() const { return !names_.empty(); }
  bool contains(std::string_view name) const { return names_.find(name) != names_.end(); }

 private:
  std::unordered_set<std::string, StringHash, std::equal_to<>> names_;
};

class ZoneCache {
 public:
  Result<cctz::time_zone> get(std::string_view name) {
    {
      std::shared_lock lock(mutex_);
      if (auto it = zones_.find(name); it != zones_.end()) return it->second;
    }
    if (is_never_a_zone(name)) return std::unexpected(EngineError::invalid_timezone(std::string(name)));
    // Without an index (a trimmed database) a name stands when its file loads.
    if (index().available() && !index().contains(name)) {
      return std::unexpected(EngineError::invalid_timezone(std::string(name)));
    }
    cctz::time_zone zone;
    if (!cctz::load_time_zone(std::string(name), &zone)) {
      return std::unexpected(EngineError::invalid_timezone(std::string(name)));
    }
    std::unique_lock lock(mutex_);
    zones_.emplace(std::string(name), zone);
    return zone;
  }

 private:
  const NameIndex& index() {
    std::call_once(index_once_, [this] { index_ = std::make_unique<NameIndex>(); });
    return *index_;
  }

  std::shared_mutex mutex_;
  std::unordered_map<std::string, cctz::time_zone, StringHash, std::equal_to<>> zones_;
  std::once_flag index_once_;
  std::unique_ptr<NameIndex> index_;
};

ZoneCache& cache() {
  static ZoneCache* instance = new ZoneCache();  // never destroyed: engine threads may outlive statics
  return *instance;
}

}  // namespace

Result<cctz::time_zone> lookup_zone(std::string_view name) { return cache().get(name); }

}  // namespace vesk
