// A generic JSON value whose objects keep their keys in ascending byte order
// at every depth. Used where JSON is built or read without a record type:
// control-channel data, history entries, HTTP bodies, values handed to Python.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "json/reader.h"
#include "json/writer.h"

namespace vesk::json {

class Value;
using Array = std::vector<Value>;
using Object = std::map<std::string, Value, std::less<>>;  // byte order of the keys

class Value {
 public:
  // Numbers keep the form they were read or built in: non-negative integers
  // as uint64, negative integers as int64, everything else as double.
  using Storage = std::variant<std::nullptr_t, bool, std::uint64_t, std::int64_t, double, std::string, Array, Object>;

  Value() : v_(nullptr) {}
  Value(std::nullptr_t) : v_(nullptr) {}
  Value(bool b) : v_(b) {}
  Value(std::uint64_t n) : v_(n) {}
  Value(std::uint32_t n) : v_(std::uint64_t{n}) {}
  Value(std::int64_t n);  // stored as uint64 when not negative
  Value(int n) : Value(static_cast<std::int64_t>(n)) {}
  Value(double d) : v_(d) {}
  Value(std::string s) : v_(std::move(s)) {}
  Value(std::string_view s) : v_(std::string(s)) {}
  Value(const char* s) : v_(std::string(s)) {}
  Value(Array a) : v_(std::move(a)) {}
  Value(Object o) : v_(std::move(o)) {}

  const Storage& storage() const { return v_; }
  Storage& storage() { return v_; }
  template <typename T> bool is() const { return std::holds_alternative<T>(v_); }
  template <typename T> const T& as() const { return std::get<T>(v_); }
  template <typename T> T& as() { return std::get<T>(v_); }

  // Member lookup on an object; nullptr when absent or not an object.
  const Value* find(std::string_view key) const;

  friend bool operator==(const Value&, const Value&) = default;

 private:
  Storage v_;
};

// Reads one whole text as a value (only white space may follow it).
// Duplicate keys keep the later value. Nesting deeper than 128 levels fails
// with "recursion limit exceeded".
ReadResult<Value> parse(std::string_view text);
// Reads the next value from a reader that is already positioned.
ReadResult<Value> read_value(Reader& reader);

void write(Writer& writer, const Value& value);
std::string to_string(const Value& value, Style style = Style::kCompact);

}  // namespace vesk::json
