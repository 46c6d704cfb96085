#include "json/reader.h"

#include <charconv>
#include <limits>
#include <system_error>
#include <utility>

#include "json/bytes.h"
#include "json/writer.h"

namespace vesk::json {
namespace {

constexpr bool is_space(char c) { return c == ' ' || c == '\n' || c == '\t' || c == '\r'; }
constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
  if (is_digit(c)) return c - '0';
  const char lower = static_cast<char>(c | 0x20);
  if (lower >= 'a' && lower <= 'f') return lower - 'a' + 10;
  return -1;
}

void append_utf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// Whether a number that from_chars found out of range is too large (rather
// than too small, which reads as zero): the decimal exponent of its first
// significant digit decides.
bool exceeds_double(std::string_view text) {
  std::size_t i = text.front() == '-' ? 1 : 0;
  std::int64_t point = 0;  // digits before the decimal point, from the first significant one
  bool significant = false;
  for (; i < text.size() && is_digit(text[i]); ++i) {
    significant = significant || text[i] != '0';
    if (significant) ++point;
  }
  if (i < text.size() && text[i] == '.') {
    for (++i; i < text.size() && is_digit(text[i]); ++i) {
      if (significant) continue;
      if (text[i] != '0') significant = true;
      else --point;
    }
  }
  std::int64_t exponent = 0;
  if (i < text.size()) {  // 'e' or 'E'
    ++i;
    const bool negative = text[i] == '-';
    if (text[i] == '-' || text[i] == '+') ++i;
    for (; i < text.size(); ++i) {
      if (exponent < 1'000'000'000) exponent = exponent * 10 + (text[i] - '0');
    }
    if (negative) exponent = -exponent;
  }
  return point + exponent > 0;
}

}  // namespace

Reader::Reader(std::string_view text) : text_(text) {}

[[gnu::always_inline]] inline void Reader::skip_space() {
  while (pos_ < text_.size() && is_space(text_[pos_])) ++pos_;
}

// Whether the last consumed token is the opening bracket of the container:
// derived from the text rather than kept as state so that `seek` needs no
// bookkeeping. Every other token before a separator ends a value, and values
// never end in '{' or '['.
[[gnu::always_inline]] inline bool Reader::follows_open(char open) const {
  std::size_t i = pos_;
  while (i > 0 && is_space(text_[i - 1])) --i;
  return i > 0 && text_[i - 1] == open;
}

// The reader stands after the opening quote. Strings without escapes are
// returned in place; only escaped ones are rebuilt in `scratch_`. Returns
// nullptr on a fault, leaving the error in `pending_`: a plain pointer and
// length keep the hot path free of result objects on the stack.
[[gnu::always_inline]] inline const char* Reader::string_body(std::size_t& length) {
  const std::size_t start = pos_;
  const std::size_t stop = detail::find_special(text_, start);
  if (stop < text_.size() && text_[stop] == '"') [[likely]] {
    pos_ = stop + 1;
    length = stop - start;
    return text_.data() + start;
  }
  if (!string_body_escaped(start, stop)) return nullptr;
  length = scratch_.size();
  return scratch_.data();
}

ReadResult<ValueKind> Reader::peek() {
  skip_space();
  if (pos_ == text_.size()) return std::unexpected(eof("a value"));
  switch (text_[pos_]) {
    case '{': return ValueKind::kObject;
    case '[': return ValueKind::kArray;
    case '"': return ValueKind::kString;
    case 't':
    case 'f': return ValueKind::kBool;
    case 'n': return ValueKind::kNull;
    case '-':
    case '0': case '1': case '2': case '3': case '4':
    case '5': case '6': case '7': case '8': case '9': return ValueKind::kNumber;
    default: return std::unexpected(error_at("expected value", pos_));
  }
}

ReadResult<void> Reader::begin_object(std::string_view expecting) {
  skip_space();
  if (pos_ == text_.size()) return std::unexpected(eof("a value"));
  if (text_[pos_] != '{') return std::unexpected(invalid_type(expecting));
  ++pos_;
  return {};
}

ReadResult<std::optional<std::string_view>> Reader::next_key() {
  const bool first = follows_open('{');
  skip_space();
  if (pos_ == text_.size()) return std::unexpected(eof("an object"));
  char c = text_[pos_];
  if (c == '}') {
    ++pos_;
    return std::optional<std::string_view>{};
  }
  if (!first) {
    if (c != ',') return std::unexpected(error_at("expected `,` or `}`", pos_));
    ++pos_;
    skip_space();
    if (pos_ == text_.size()) return std::unexpected(eof("an object"));
    c = text_[pos_];
    if (c == '}') return std::unexpected(error_at("trailing comma", pos_));
  }
  if (c != '"') return std::unexpected(error_at("key must be a string", pos_));
  ++pos_;
  std::size_t length = 0;
  const char* key = string_body(length);
  if (key == nullptr) return std::unexpected(std::move(pending_));
  skip_space();
  if (pos_ == text_.size()) return std::unexpected(eof("an object"));
  if (text_[pos_] != ':') return std::unexpected(error_at("expected `:`", pos_));
  ++pos_;
  return ReadResult<std::optional<std::string_view>>(std::in_place, std::in_place, key, length);
}

ReadResult<void> Reader::begin_array(std::string_view expecting) {
  skip_space();
  if (pos_ == text_.size()) return std::unexpected(eof("a value"));
  if (text_[pos_] != '[') return std::unexpected(invalid_type(expecting));
  ++pos_;
  return {};
}

ReadResult<bool> Reader::next_element() {
  const bool first = follows_open('[');
  skip_space();
  if (pos_ == text_.size()) return std::unexpected(eof("a list"));
  const char c = text_[pos_];
  if (c == ']') {
    ++pos_;
    return false;
  }
  if (first) return true;
  if (c != ',') return std::unexpected(error_at("expected `,` or `]`", pos_));
  ++pos_;
  skip_space();
  // At the end of the input the element's reader reports the missing value.
  if (pos_ < text_.size() && text_[pos_] == ']') return std::unexpected(error_at("trailing comma", pos_));
  return true;
}

ReadResult<std::string_view> Reader::read_string(std::string_view expecting) {
  skip_space();
  if (pos_ == text_.size()) return std::unexpected(eof("a value"));
  if (text_[pos_] != '"') return std::unexpected(invalid_type(expecting));
  ++pos_;
  std::size_t length = 0;
  const char* body = string_body(length);
  if (body == nullptr) return std::unexpected(std::move(pending_));
  return ReadResult<std::string_view>(std::in_place, body, length);
}

bool Reader::string_body_escaped(std::size_t start, std::size_t stop) {
  scratch_.assign(text_.data() + start, stop - start);
  pos_ = stop;
  for (;;) {
    if (pos_ == text_.size()) return fail(eof("a string"));
    const char c = text_[pos_];
    if (c == '"') {
      ++pos_;
      return true;
    }
    if (c != '\\') {
      return fail(error_at("control character (\\u0000-\\u001F) found while parsing a string", pos_));
    }
    if (++pos_ == text_.size()) return fail(eof("a string"));
    switch (text_[pos_++]) {
      case '"': scratch_.push_back('"'); break;
      case '\\': scratch_.push_back('\\'); break;
      case '/': scratch_.push_back('/'); break;
      case 'b': scratch_.push_back('\b'); break;
      case 'f': scratch_.push_back('\f'); break;
      case 'n': scratch_.push_back('\n'); break;
      case 'r': scratch_.push_back('\r'); break;
      case 't': scratch_.push_back('\t'); break;
      case 'u':
        if (auto done = unicode_escape(); !done) return fail(std::move(done.error()));
        break;
      default: return fail(error_at("invalid escape", pos_ - 1));
    }
    const std::size_t next = detail::find_special(text_, pos_);
    scratch_.append(text_.data() + pos_, next - pos_);
    pos_ = next;
  }
}

ReadResult<std::uint32_t> Reader::hex4() {
  std::uint32_t value = 0;
  for (int k = 0; k < 4; ++k) {
    if (pos_ == text_.size()) return std::unexpected(eof("a string"));
    const int digit = hex_value(text_[pos_]);
    if (digit < 0) return std::unexpected(error_at("invalid escape", pos_));
    value = value * 16 + static_cast<std::uint32_t>(digit);
    ++pos_;
  }
  return value;
}

// After "\u": four hex digits, and for a leading surrogate the "\uXXXX" of
// its trailing half.
ReadResult<void> Reader::unicode_escape() {
  auto unit = hex4();
  if (!unit) return std::unexpected(std::move(unit.error()));
  std::uint32_t cp = *unit;
  if (cp >= 0xDC00 && cp <= 0xDFFF) return std::unexpected(error_after("invalid unicode code point", pos_));
  if (cp >= 0xD800 && cp <= 0xDBFF) {
    for (const char want : {'\\', 'u'}) {
      if (pos_ == text_.size()) return std::unexpected(eof("a string"));
      if (text_[pos_] != want) return std::unexpected(error_at("unexpected end of hex escape", pos_));
      ++pos_;
    }
    auto low = hex4();
    if (!low) return std::unexpected(std::move(low.error()));
    if (*low < 0xDC00 || *low > 0xDFFF) {
      return std::unexpected(error_after("lone leading surrogate in hex escape", pos_));
    }
    cp = 0x10000 + ((cp - 0xD800) << 10) + (*low - 0xDC00);
  }
  append_utf8(scratch_, cp);
  return {};
}

// The grammar of a JSON number, from the first byte ('-' or a digit).
ReadResult<Reader::NumberToken> Reader::number_token() {
  const std::size_t n = text_.size();
  NumberToken token{pos_, pos_, 0, false, true, false};
  std::size_t i = pos_;
  if (text_[i] == '-') {
    token.negative = true;
    ++i;
  }
  if (i == n) {
    pos_ = n;
    return std::unexpected(eof("a value"));
  }
  if (text_[i] == '0') {
    ++i;
    if (i < n && is_digit(text_[i])) return std::unexpected(error_at("invalid number", i));
  } else if (is_digit(text_[i])) {
    std::uint64_t magnitude = 0;
    bool overflow = false;
    for (; i < n && is_digit(text_[i]); ++i) {
      const auto digit = static_cast<std::uint64_t>(text_[i] - '0');
      overflow |= __builtin_mul_overflow(magnitude, 10u, &magnitude);
      overflow |= __builtin_add_overflow(magnitude, digit, &magnitude);
    }
    token.magnitude = magnitude;
    token.overflow = overflow;
  } else {
    return std::unexpected(error_at("invalid number", i));
  }
  // A fraction and an exponent each need at least one digit.
  auto digits = [&]() -> ReadResult<void> {
    if (i == n) {
      pos_ = n;
      return std::unexpected(eof("a value"));
    }
    if (!is_digit(text_[i])) return std::unexpected(error_at("invalid number", i));
    while (i < n && is_digit(text_[i])) ++i;
    return {};
  };
  if (i < n && text_[i] == '.') {
    token.integral = false;
    ++i;
    if (auto ok = digits(); !ok) return std::unexpected(std::move(ok.error()));
  }
  if (i < n && (text_[i] == 'e' || text_[i] == 'E')) {
    token.integral = false;
    ++i;
    if (i < n && (text_[i] == '+' || text_[i] == '-')) ++i;
    if (auto ok = digits(); !ok) return std::unexpected(std::move(ok.error()));
  }
  token.end = pos_ = i;
  return token;
}

ReadResult<double> Reader::to_double(const NumberToken& token) const {
  const char* first = text_.data() + token.begin;
  const char* last = text_.data() + token.end;
  double value = 0;
  const auto [ptr, ec] = std::from_chars(first, last, value);
  if (ec == std::errc::result_out_of_range) {
    if (exceeds_double(std::string_view(first, last - first))) {
      return std::unexpected(error_after("number out of range", token.end));
    }
    return token.negative ? -0.0 : 0.0;
  }
  if (ec != std::errc() || ptr != last) return std::unexpected(error_after("invalid number", token.end));
  return value;
}

ReadResult<std::uint64_t> Reader::read_unsigned(std::uint64_t max, std::string_view expecting) {
  skip_space();
  if (pos_ == text_.size()) return std::unexpected(eof("a value"));
  const char c = text_[pos_];
  if (c != '-' && !is_digit(c)) return std::unexpected(invalid_type(expecting));
  auto token = number_token();
  if (!token) return std::unexpected(std::move(token.error()));
  if (!token->integral) {
    seek(token->begin);  // read again, quoted and located by the wrong-type error
    return std::unexpected(invalid_type(expecting));
  }
  if (token->negative || token->overflow || token->magnitude > max) {
    std::string found = "invalid value: integer `";
    found += text_.substr(token->begin, token->end - token->begin);
    found += "`, expected ";
    found += expecting;
    return std::unexpected(error_after(found, pos_));
  }
  return token->magnitude;
}

ReadResult<std::uint64_t> Reader::read_u64(std::string_view expecting) {
  return read_unsigned(std::numeric_limits<std::uint64_t>::max(), expecting);
}

ReadResult<std::uint32_t> Reader::read_u32(std::string_view expecting) {
  auto value = read_unsigned(std::numeric_limits<std::uint32_t>::max(), expecting);
  if (!value) return std::unexpected(std::move(value.error()));
  return static_cast<std::uint32_t>(*value);
}

ReadResult<std::uint8_t> Reader::read_u8(std::string_view expecting) {
  auto value = read_unsigned(std::numeric_limits<std::uint8_t>::max(), expecting);
  if (!value) return std::unexpected(std::move(value.error()));
  return static_cast<std::uint8_t>(*value);
}

ReadResult<Number> Reader::read_number(std::string_view expecting) {
  skip_space();
  if (pos_ == text_.size()) return std::unexpected(eof("a value"));
  const char c = text_[pos_];
  if (c != '-' && !is_digit(c)) return std::unexpected(invalid_type(expecting));
  auto token = number_token();
  if (!token) return std::unexpected(std::move(token.error()));
  if (token->integral && !token->overflow) {
    if (!token->negative) return Number{token->magnitude};
    constexpr std::uint64_t kMinMagnitude = std::uint64_t{1} << 63;
    if (token->magnitude != 0 && token->magnitude <= kMinMagnitude) {
      return Number{static_cast<std::int64_t>(0 - token->magnitude)};
    }
  }
  auto value = to_double(*token);
  if (!value) return std::unexpected(std::move(value.error()));
  return Number{*value};
}

ReadResult<void> Reader::literal(std::string_view word) {
  for (const char want : word) {
    if (pos_ == text_.size()) return std::unexpected(eof("a value"));
    if (text_[pos_] != want) return std::unexpected(error_at("invalid literal", pos_));
    ++pos_;
  }
  return {};
}

ReadResult<bool> Reader::read_bool(std::string_view expecting) {
  skip_space();
  if (pos_ == text_.size()) return std::unexpected(eof("a value"));
  const char c = text_[pos_];
  if (c != 't' && c != 'f') return std::unexpected(invalid_type(expecting));
  if (auto ok = literal(c == 't' ? "true" : "false"); !ok) return std::unexpected(std::move(ok.error()));
  return c == 't';
}

ReadResult<bool> Reader::read_null() {
  skip_space();
  if (pos_ == text_.size()) return std::unexpected(eof("a value"));
  if (text_[pos_] != 'n') return false;
  if (auto ok = literal("null"); !ok) return std::unexpected(std::move(ok.error()));
  return true;
}

ReadResult<void> Reader::skip_value() { return skip_nested(0); }

// `depth` counts the containers already open around the value.
ReadResult<void> Reader::skip_nested(int depth) {
  const auto kind = peek();
  if (!kind) return std::unexpected(std::move(kind.error()));
  switch (*kind) {
    case ValueKind::kNull: return literal("null");
    case ValueKind::kBool: return literal(text_[pos_] == 't' ? "true" : "false");
    case ValueKind::kNumber: {
      auto token = number_token();
      if (!token) return std::unexpected(std::move(token.error()));
      return {};
    }
    case ValueKind::kString: {
      ++pos_;
      std::size_t length = 0;
      if (string_body(length) == nullptr) return std::unexpected(std::move(pending_));
      return {};
    }
    case ValueKind::kArray: {
      ++pos_;
      if (depth >= kMaxDepth) return std::unexpected(error_after("recursion limit exceeded", pos_));
      for (;;) {
        auto more = next_element();
        if (!more) return std::unexpected(std::move(more.error()));
        if (!*more) return {};
        if (auto ok = skip_nested(depth + 1); !ok) return ok;
      }
    }
    case ValueKind::kObject: {
      ++pos_;
      if (depth >= kMaxDepth) return std::unexpected(error_after("recursion limit exceeded", pos_));
      for (;;) {
        auto key = next_key();
        if (!key) return std::unexpected(std::move(key.error()));
        if (!*key) return {};
        if (auto ok = skip_nested(depth + 1); !ok) return ok;
      }
    }
  }
  return {};
}

ReadResult<void> Reader::finish() {
  skip_space();
  if (pos_ != text_.size()) return std::unexpected(error_at("trailing characters", pos_));
  return {};
}

// The reader stands at the first byte of a value of the wrong type. The
// value is consumed (only the bracket of a container) so that the error can
// quote it and is located after it.
ReadError Reader::invalid_type(std::string_view expecting) {
  std::string text = "invalid type: ";
  switch (text_[pos_]) {
    case '"': {
      ++pos_;
      std::size_t length = 0;
      const char* body = string_body(length);
      if (body == nullptr) return std::move(pending_);
      text += "string ";
      append_escaped(text, std::string_view(body, length));
      break;
    }
    case '[':
      ++pos_;
      text += "sequence";
      break;
    case '{':
      ++pos_;
      text += "map";
      break;
    case 't':
    case 'f': {
      const bool value = text_[pos_] == 't';
      if (auto ok = literal(value ? "true" : "false"); !ok) return std::move(ok.error());
      text += value ? "boolean `true`" : "boolean `false`";
      break;
    }
    case 'n':
      if (auto ok = literal("null"); !ok) return std::move(ok.error());
      text += "null";
      break;
    case '-':
    case '0': case '1': case '2': case '3': case '4':
    case '5': case '6': case '7': case '8': case '9': {
      auto token = number_token();
      if (!token) return std::move(token.error());
      if (token->integral) {
        text += "integer `";
        text += text_.substr(token->begin, token->end - token->begin);
      } else {
        auto value = to_double(*token);
        if (!value) return std::move(value.error());
        text += "floating point `";
        append_f64(text, *value);
      }
      text += '`';
      break;
    }
    default: return error_at("expected value", pos_);
  }
  text += ", expected ";
  text += expecting;
  return error_after(text, pos_);
}

ReadError Reader::missing_field(std::string_view field) const {
  std::string text = "missing field `";
  text += field;
  text += '`';
  return error_after(text, pos_);
}

ReadError Reader::duplicate_field(std::string_view field) const {
  std::string text = "duplicate field `";
  text += field;
  text += '`';
  return error_after(text, pos_);
}

ReadError Reader::unknown_variant(std::string_view value, std::span<const std::string_view> expected) const {
  std::string text = "unknown variant `";
  text += value;
  text += "`, ";
  switch (expected.size()) {
    case 0: text += "there are no variants"; break;
    case 1: text += "expected `"; text += expected[0]; text += '`'; break;
    case 2:
      text += "expected `";
      text += expected[0];
      text += "` or `";
      text += expected[1];
      text += '`';
      break;
    default:
      text += "expected one of ";
      for (std::size_t i = 0; i < expected.size(); ++i) {
        if (i > 0) text += ", ";
        text += '`';
        text += expected[i];
        text += '`';
      }
  }
  return error_after(text, pos_);
}

ReadError Reader::invalid_value(std::string_view what, std::string_view expected) const {
  std::string text = "invalid value: ";
  text += what;
  text += ", expected ";
  text += expected;
  return error_after(text, pos_);
}

ReadError Reader::custom(std::string_view text) const { return error_after(text, pos_); }

namespace {

std::string located(std::string_view what, std::size_t line, std::size_t column) {
  std::string text(what);
  text += " at line ";
  text += std::to_string(line);
  text += " column ";
  text += std::to_string(column);
  return text;
}

// The line (counted from 1) that holds byte `offset`, and where it starts.
std::pair<std::size_t, std::size_t> line_of(std::string_view text, std::size_t offset) {
  std::size_t line = 1;
  std::size_t line_start = 0;
  for (std::size_t i = 0; i < offset; ++i) {
    if (text[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  return {line, line_start};
}

}  // namespace

ReadError Reader::error_at(std::string_view what, std::size_t offset) const {
  const auto [line, line_start] = line_of(text_, offset);
  return ReadError{located(what, line, offset - line_start + 1), false};
}

ReadError Reader::error_after(std::string_view what, std::size_t consumed, bool at_eof) const {
  const auto [line, line_start] = line_of(text_, consumed);
  return ReadError{located(what, line, consumed - line_start), at_eof};
}

ReadError Reader::eof(std::string_view what) const {
  std::string text = "EOF while parsing ";
  text += what;
  return error_after(text, text_.size(), true);
}

}  // namespace vesk::json
