// A strict, pull-style JSON reader over one text held in memory.
//
// Records decode straight from the text: the caller asks for the value it
// expects next (an object's keys, a string, an unsigned integer of a given
// width) and the reader checks and consumes it. Nothing is materialised into
// a tree. Positions can be saved and restored, so that an object whose tag
// key comes last can be scanned once for its keys and then decoded field by
// field.
//
// Every error is a `ReadError` whose text ends in " at line L column C".
// L is 1 plus the number of line feeds before the place of the fault; C is
// counted in bytes within that line and names one of two places:
//  - a byte that was looked at but cannot be accepted ("expected value",
//    "expected `:`", "trailing characters", "trailing comma", "invalid
//    number", "invalid literal", "invalid escape", "unexpected end of hex
//    escape", a control character in a string): C is that byte's 1-based
//    index, so the column points at the culprit;
//  - the end of what was consumed (every "EOF while parsing ..." fault; the
//    type and value errors and "number out of range", raised once the
//    offending value has been read; the surrogate faults, after the escape;
//    "recursion limit exceeded", after the bracket one level too deep; and
//    the decoders' missing_field, duplicate_field, unknown_variant,
//    invalid_value, custom): C is the number of bytes of the line consumed
//    so far, that is the index of the last consumed byte. At the end of the
//    input this is the length of the last line (0 if the text ends in a
//    line feed).
// A type error for an array or object consumes only its opening bracket.
//
// Found values are described the way the type errors of serde-based readers
// describe them: `null`, boolean `true`, integer `5` (an integer is quoted
// as written, however long), floating point `1.5` (in the writer's
// shortest form, see writer.h), string "abc" (escaped as JSON), sequence,
// map. An unsigned reader rejects every integer with a minus sign, "-0"
// included, as "invalid value: integer `-0`, expected u8".
//
// Escapes: \uXXXX decodes to UTF-8; a leading surrogate must be followed by
// "\u" ("unexpected end of hex escape") and a trailing surrogate ("lone
// leading surrogate in hex escape"); a trailing surrogate on its own is an
// "invalid unicode code point". Bytes of 0x80 and above are passed through
// unchecked: validating UTF-8 is the caller's job. Containers nested deeper
// than 128 levels inside skip_value give "recursion limit exceeded".
#pragma once

#include <cstdint>
#include <expected>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

namespace vesk::json {

struct ReadError {
  // The full description, for example
  // "EOF while parsing a string at line 1 column 18" or
  // "missing field `spec` at line 1 column 120".
  std::string message;
  // True for the four end-of-input faults ("EOF while parsing a list",
  // "... an object", "... a string", "... a value").
  bool at_eof = false;
};

template <typename T>
using ReadResult = std::expected<T, ReadError>;

enum class ValueKind : std::uint8_t { kNull, kBool, kNumber, kString, kArray, kObject };

// A number in the form it was written: non-negative integers as uint64,
// negative integers as int64; with a fraction or exponent, beyond the 64-bit
// range, and "-0" as double.
using Number = std::variant<std::uint64_t, std::int64_t, double>;

// Containers deeper than this fail with "recursion limit exceeded".
inline constexpr int kMaxDepth = 128;

class Reader {
 public:
  // `text` must outlive the reader and every string_view it returns.
  explicit Reader(std::string_view text);

  // Skips white space (space, tab, line feed, carriage return) and tells the
  // kind of the next value from its first byte; "EOF while parsing a value"
  // at the end, "expected value" for any other byte.
  ReadResult<ValueKind> peek();

  // Objects. `begin_object` consumes "{"; `next_key` then consumes the
  // separators and gives each key in turn, or nothing after the closing "}".
  // Errors: "invalid type: ..., expected ..." when the value is not an
  // object; "expected `,` or `}`", "expected `:`", "key must be a string",
  // "trailing comma", "EOF while parsing an object".
  // A returned key or string view is valid until the next call on the reader.
  // Whether a member list has just begun is told from the text before the
  // current position, so `next_key` and `next_element` work after `seek`
  // to any offset that `position` gave between two of these calls.
  ReadResult<void> begin_object(std::string_view expecting);
  ReadResult<std::optional<std::string_view>> next_key();

  // Arrays, in the same way: `next_element` is true while another element
  // follows (the reader then stands before it) and false after "]".
  // Errors: "expected `,` or `]`", "trailing comma", "EOF while parsing a
  // list"; the end of the input after a comma is left to the element's
  // reader ("EOF while parsing a value").
  ReadResult<void> begin_array(std::string_view expecting);
  ReadResult<bool> next_element();

  // Scalars. `expecting` names the wanted type in type errors, for example
  // "u32" gives "invalid type: string \"x\", expected u32". Integers must be
  // JSON numbers without fraction or exponent within the range:
  // "invalid value: integer `256`, expected u8", and for a negative number
  // "invalid value: integer `-1`, expected u8".
  ReadResult<std::string_view> read_string(std::string_view expecting = "a string");
  ReadResult<std::uint64_t> read_u64(std::string_view expecting = "u64");
  ReadResult<std::uint32_t> read_u32(std::string_view expecting = "u32");
  ReadResult<std::uint8_t> read_u8(std::string_view expecting = "u8");
  ReadResult<bool> read_bool(std::string_view expecting = "a boolean");
  // Consumes a null and returns true; leaves anything else in place. The
  // end of the input is "EOF while parsing a value", since a value is due.
  ReadResult<bool> read_null();
  // Any number; "number out of range" beyond the range of double (values
  // too small for it read as zero).
  ReadResult<Number> read_number(std::string_view expecting = "a number");

  // Consumes one whole value of any kind (checking that it is valid JSON).
  ReadResult<void> skip_value();

  // After the top-level value: only white space may remain, else
  // "trailing characters".
  ReadResult<void> finish();

  // Byte offset of the next unread byte; `seek` returns to a saved offset.
  std::size_t position() const { return pos_; }
  void seek(std::size_t position) { pos_ = position; }

  // Errors raised by the record decoders, located at the current position.
  ReadError missing_field(std::string_view field) const;         // "missing field `x`"
  ReadError duplicate_field(std::string_view field) const;       // "duplicate field `x`"
  // "unknown variant `x`, expected one of `a`, `b`, `c`" ("expected `a` or
  // `b`" for two, "expected `a`" for one), the accepted values in order.
  ReadError unknown_variant(std::string_view value, std::span<const std::string_view> expected) const;
  ReadError invalid_value(std::string_view what, std::string_view expected) const;  // "invalid value: W, expected E"
  ReadError custom(std::string_view text) const;                 // any text, located here

 private:
  struct NumberToken {
    std::size_t begin, end;   // the text, sign included
    std::uint64_t magnitude;  // of an integer that fits 64 bits
    bool negative, integral, overflow;
  };

  void skip_space();
  bool follows_open(char open) const;
  const char* string_body(std::size_t& length);
  bool string_body_escaped(std::size_t start, std::size_t stop);
  bool fail(ReadError error) {
    pending_ = std::move(error);
    return false;
  }
  ReadResult<void> unicode_escape();
  ReadResult<std::uint32_t> hex4();
  ReadResult<NumberToken> number_token();
  ReadResult<double> to_double(const NumberToken& token) const;
  ReadResult<std::uint64_t> read_unsigned(std::uint64_t max, std::string_view expecting);
  ReadResult<void> literal(std::string_view word);
  ReadResult<void> skip_nested(int depth);
  [[gnu::cold]] ReadError invalid_type(std::string_view expecting);
  [[gnu::cold]] ReadError error_at(std::string_view what, std::size_t offset) const;
  [[gnu::cold]] ReadError error_after(std::string_view what, std::size_t consumed, bool at_eof = false) const;
  [[gnu::cold]] ReadError eof(std::string_view what) const;

  std::string_view text_;
  std::size_t pos_ = 0;
  std::string scratch_;  // unescaped strings that could not be returned in place
  ReadError pending_;    // a fault on its way out of a helper that returns no result
};

}  // namespace vesk::json
