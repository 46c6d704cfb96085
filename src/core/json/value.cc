#include "json/value.h"

#include <type_traits>

namespace vesk::json {

Value::Value(std::int64_t n) {
  if (n >= 0) {
    v_ = static_cast<std::uint64_t>(n);
  } else {
    v_ = n;
  }
}

const Value* Value::find(std::string_view key) const {
  const auto* object = std::get_if<Object>(&v_);
  if (object == nullptr) return nullptr;
  const auto it = object->find(key);
  return it == object->end() ? nullptr : &it->second;
}

namespace {

// `depth` counts the containers already open around the value.
ReadResult<Value> read_nested(Reader& reader, int depth) {
  const auto kind = reader.peek();
  if (!kind) return std::unexpected(kind.error());
  switch (*kind) {
    case ValueKind::kNull: {
      auto null = reader.read_null();
      if (!null) return std::unexpected(std::move(null.error()));
      return Value();
    }
    case ValueKind::kBool: {
      auto b = reader.read_bool();
      if (!b) return std::unexpected(std::move(b.error()));
      return Value(*b);
    }
    case ValueKind::kNumber: {
      auto n = reader.read_number();
      if (!n) return std::unexpected(std::move(n.error()));
      return std::visit([](auto v) { return Value(v); }, *n);
    }
    case ValueKind::kString: {
      auto s = reader.read_string();
      if (!s) return std::unexpected(std::move(s.error()));
      return Value(*s);
    }
    case ValueKind::kArray: {
      if (auto ok = reader.begin_array("a sequence"); !ok) return std::unexpected(std::move(ok.error()));
      if (depth >= kMaxDepth) return std::unexpected(reader.custom("recursion limit exceeded"));
      Array array;
      for (;;) {
        auto more = reader.next_element();
        if (!more) return std::unexpected(std::move(more.error()));
        if (!*more) return Value(std::move(array));
        auto element = read_nested(reader, depth + 1);
        if (!element) return element;
        array.push_back(std::move(*element));
      }
    }
    case ValueKind::kObject: {
      if (auto ok = reader.begin_object("a map"); !ok) return std::unexpected(std::move(ok.error()));
      if (depth >= kMaxDepth) return std::unexpected(reader.custom("recursion limit exceeded"));
      Object object;
      std::string key;
      for (;;) {
        auto next = reader.next_key();
        if (!next) return std::unexpected(std::move(next.error()));
        if (!*next) return Value(std::move(object));
        key.assign(**next);  // the view does not survive reading the member's value
        auto member = read_nested(reader, depth + 1);
        if (!member) return member;
        object.insert_or_assign(key, std::move(*member));
      }
    }
  }
  return Value();
}

}  // namespace

ReadResult<Value> read_value(Reader& reader) { return read_nested(reader, 0); }

ReadResult<Value> parse(std::string_view text) {
  Reader reader(text);
  auto value = read_value(reader);
  if (!value) return value;
  if (auto ok = reader.finish(); !ok) return std::unexpected(std::move(ok.error()));
  return value;
}

void write(Writer& writer, const Value& value) {
  std::visit(
      [&writer](const auto& v) {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::nullptr_t>) {
          writer.null();
        } else if constexpr (std::is_same_v<T, bool>) {
          writer.boolean(v);
        } else if constexpr (std::is_same_v<T, std::uint64_t>) {
          writer.u64(v);
        } else if constexpr (std::is_same_v<T, std::int64_t>) {
          writer.i64(v);
        } else if constexpr (std::is_same_v<T, double>) {
          writer.f64(v);
        } else if constexpr (std::is_same_v<T, std::string>) {
          writer.string(v);
        } else if constexpr (std::is_same_v<T, Array>) {
          writer.begin_array();
          for (const Value& element : v) write(writer, element);
          writer.end_array();
        } else {
          writer.begin_object();
          for (const auto& [key, member] : v) {
            writer.key(key);
            write(writer, member);
          }
          writer.end_object();
        }
      },
      value.storage());
}

std::string to_string(const Value& value, Style style) {
  std::string out;
  Writer writer(out, style);
  write(writer, value);
  return out;
}

}  // namespace vesk::json
