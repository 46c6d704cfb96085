#include "json/writer.h"

#include <charconv>
#include <cmath>
#include <cstring>

#include "json/bytes.h"

namespace vesk::json {
namespace {

template <typename Int>
void append_integer(std::string& out, Int value) {
  char buffer[24];
  const auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
  out.append(buffer, end);
}

}  // namespace

void append_escaped(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::size_t stop = detail::find_special(text, 0);
  if (stop == text.size()) [[likely]] {
    // Most strings need no escape: one growth and one copy.
    const std::size_t size = out.size();
    out.resize(size + text.size() + 2);
    char* p = out.data() + size;
    p[0] = '"';
    std::memcpy(p + 1, text.data(), text.size());
    p[text.size() + 1] = '"';
    return;
  }
  out.push_back('"');
  std::size_t i = 0;
  for (;; stop = detail::find_special(text, i)) {
    out.append(text.data() + i, stop - i);
    if (stop == text.size()) break;
    const auto c = static_cast<unsigned char>(text[stop]);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default: {
        const char escape[] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
        out.append(escape, sizeof escape);
      }
    }
    i = stop + 1;
  }
  out.push_back('"');
}

void append_f64(std::string& out, double value) {
  // to_chars in scientific form gives the shortest round-trip digits as
  // "-d.ddde-XX"; they are then laid out afresh.
  char buffer[40];
  const char* end = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific).ptr;
  const char* p = buffer;
  if (*p == '-') {
    out.push_back('-');
    ++p;
  }
  char digits[20];
  int count = 0;
  for (; *p != 'e'; ++p) {
    if (*p != '.') digits[count++] = *p;
  }
  ++p;  // the 'e'
  const bool negative_exponent = *p == '-';
  int exponent = 0;
  for (++p; p != end; ++p) exponent = exponent * 10 + (*p - '0');
  if (negative_exponent) exponent = -exponent;
  const int point = exponent + 1;  // digits before the decimal point
  const std::string_view all(digits, static_cast<std::size_t>(count));
  if (point >= count && point <= 16) {
    out += all;
    out.append(static_cast<std::size_t>(point - count), '0');
    out += ".0";
  } else if (point > 0 && point <= 16) {
    out += all.substr(0, static_cast<std::size_t>(point));
    out.push_back('.');
    out += all.substr(static_cast<std::size_t>(point));
  } else if (point > -5 && point <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-point), '0');
    out += all;
  } else {
    out.push_back(all[0]);
    if (count > 1) {
      out.push_back('.');
      out += all.substr(1);
    }
    out.push_back('e');
    append_integer(out, exponent);
  }
}

Writer::Writer(std::string& out, Style style) : out_(out), style_(style) {}

void Writer::newline() {
  out_.push_back('\n');
  out_.append(static_cast<std::size_t>(depth_) * 2, ' ');
}

[[gnu::always_inline]] inline void Writer::before_value() {
  if (after_key_) {
    after_key_ = false;
    return;
  }
  if (depth_ == 0) return;
  if (!first_) out_.push_back(',');
  if (style_ == Style::kPretty) newline();
  first_ = false;
}

void Writer::begin_object() {
  before_value();
  out_.push_back('{');
  ++depth_;
  first_ = true;
}

void Writer::end_object() {
  --depth_;
  if (!first_ && style_ == Style::kPretty) newline();
  out_.push_back('}');
  first_ = false;
}

void Writer::begin_array() {
  before_value();
  out_.push_back('[');
  ++depth_;
  first_ = true;
}

void Writer::end_array() {
  --depth_;
  if (!first_ && style_ == Style::kPretty) newline();
  out_.push_back(']');
  first_ = false;
}

void Writer::key(std::string_view name) {
  if (style_ == Style::kCompact && !after_key_ && depth_ > 0 &&
      detail::find_special(name, 0) == name.size()) [[likely]] {
    // The usual member of a log line: `,"name":` in one growth and one copy.
    const std::size_t separator = first_ ? 0 : 1;
    const std::size_t size = out_.size();
    out_.resize(size + separator + name.size() + 3);
    char* p = out_.data() + size;
    p[0] = ',';
    p += separator;
    p[0] = '"';
    std::memcpy(p + 1, name.data(), name.size());
    p[name.size() + 1] = '"';
    p[name.size() + 2] = ':';
    first_ = false;
    after_key_ = true;
    return;
  }
  before_value();
  append_escaped(out_, name);
  if (style_ == Style::kPretty) {
    out_ += ": ";
  } else {
    out_.push_back(':');
  }
  after_key_ = true;
}

void Writer::string(std::string_view value) {
  before_value();
  append_escaped(out_, value);
}

void Writer::u64(std::uint64_t value) {
  before_value();
  append_integer(out_, value);
}

void Writer::i64(std::int64_t value) {
  before_value();
  append_integer(out_, value);
}

void Writer::f64(double value) {
  before_value();
  if (std::isfinite(value)) {
    append_f64(out_, value);
  } else {
    out_ += "null";
  }
}

void Writer::boolean(bool value) {
  before_value();
  out_ += value ? "true" : "false";
}

void Writer::null() {
  before_value();
  out_ += "null";
}

void Writer::raw(std::string_view json) {
  before_value();
  out_ += json;
}

}  // namespace vesk::json
