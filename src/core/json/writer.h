// JSON writers: compact (log lines, control replies) and pretty (snapshot).
//
// The writer appends to a std::string; objects keep the order in which the
// caller writes their members. Strings are escaped as follows: `"` and `\`,
// the short forms \b \f \n \r \t, every other control character below 0x20
// as \u00XX with lower-case hexadecimal digits; everything else, non-ASCII
// included, is written as UTF-8 unchanged.
//
// Pretty layout: one member or element per line, indented by two spaces per
// level, "key": value with ": " between them, "{}" and "[]" for empty
// containers, the closing bracket at the enclosing level's indentation.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vesk::json {

enum class Style : std::uint8_t { kCompact, kPretty };

class Writer {
 public:
  explicit Writer(std::string& out, Style style = Style::kCompact);

  void begin_object();
  void end_object();
  void begin_array();
  void end_array();
  // The key of the next object member; the member's value follows.
  void key(std::string_view name);

  void string(std::string_view value);
  void u64(std::uint64_t value);
  void i64(std::int64_t value);
  // Shortest text that reads back to the same double; integral values keep
  // a ".0"; exponents are written as "1e300" and "1e-7" (see append_f64).
  // Non-finite values are written as null.
  void f64(double value);
  void boolean(bool value);
  void null();
  // Pre-encoded JSON text, placed as one value.
  void raw(std::string_view json);

 private:
  void before_value();
  void newline();

  std::string& out_;
  Style style_;
  int depth_ = 0;
  bool first_ = true;         // no member or element yet at this level
  bool after_key_ = false;    // a key was written and waits for its value
};

// `text` as a JSON string literal, quotes included.
void append_escaped(std::string& out, std::string_view text);

// The number text of `Writer::f64` for a finite value: the shortest digits
// that read back to the same double (std::to_chars), laid out as plain
// decimals while the decimal exponent is between -5 and 15 ("0.00001",
// "123.25", "1000000000000000.0"), in exponent form outside ("1e-6",
// "1.5e-7", "1e16", "1.7976931348623157e308"); integral values end in ".0".
void append_f64(std::string& out, double value);

}  // namespace vesk::json
