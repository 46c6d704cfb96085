// A strict, pull-style JSON reader over one text held in memory.
//
// Records decode straight from the text: the caller asks for the value it
// expects next (an object's keys, a string, an unsigned integer of a given
// width) and the reader checks and consumes it. Nothing is materialised into
// a tree. Positions can be saved and restored, so that an object whose tag
// key comes last can be scanned once for its keys and then decoded field by
// field.
//
// Every error is a `ReadError` whose text ends in " at line L column C":
// L counts line feeds from 1; C is the 1-based byte index within the line of
// the byte at which the fault was found, or, at the end of the input, the
// number of bytes of the last line.
#pragma once

#include <cstdint>
#include <expected>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>

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
  // "EOF while parsing an object".
  // A returned key or string view is valid until the next call on the reader.
  ReadResult<void> begin_object(std::string_view expecting);
  ReadResult<std::optional<std::string_view>> next_key();

  // Arrays, in the same way: `next_element` is true while another element
  // follows (the reader then stands before it) and false after "]".
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
  // Consumes a null and returns true; leaves anything else in place.
  ReadResult<bool> read_null();

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
  std::string_view text_;
  std::size_t pos_ = 0;
  std::string scratch_;  // unescaped strings that could not be returned in place
};

}  // namespace vesk::json
