// Building blocks for decoding records from a json::Reader.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <span>
#include <string_view>

#include "json/reader.h"

namespace vesk::records {

// Reads an object's members: for each key listed in `fields`, calls
// `read_field(index)` to consume its value; skips unknown keys. A key given
// twice is a "duplicate field"; after the closing brace, the first field of
// `required` (bit i for fields[i]) that was not seen is a "missing field".
// `seen` may carry fields already consumed (a tag read ahead).
template <typename ReadField>
json::ReadResult<void> read_members(json::Reader& in, std::span<const std::string_view> fields,
                                    std::uint32_t required, std::uint32_t seen, ReadField&& read_field) {
  std::size_t next = 0;
  while (true) {
    auto key = in.next_key();
    if (!key) return std::unexpected(key.error());
    if (!*key) break;
    // Writers emit the fields in order, so the next field is the likely one.
    std::size_t index = next;
    if (index >= fields.size() || fields[index] != **key) {
      index = 0;
      while (index < fields.size() && fields[index] != **key) ++index;
    }
    next = index + 1;
    if (index == fields.size()) {
      if (auto skipped = in.skip_value(); !skipped) return skipped;
      continue;
    }
    const std::uint32_t bit = std::uint32_t{1} << index;
    if (seen & bit) return std::unexpected(in.duplicate_field(fields[index]));
    seen |= bit;
    if (auto field = read_field(index); !field) return field;
  }
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if ((required & (std::uint32_t{1} << i)) && !(seen & (std::uint32_t{1} << i))) {
      return std::unexpected(in.missing_field(fields[i]));
    }
  }
  return {};
}

inline constexpr std::uint32_t all_of(std::size_t count) { return (std::uint32_t{1} << count) - 1; }

// The variant index of a tag value, or an "unknown variant" error.
inline json::ReadResult<std::size_t> variant_index(json::Reader& in, std::string_view tag,
                                                   std::span<const std::string_view> tags) {
  for (std::size_t i = 0; i < tags.size(); ++i) {
    if (tags[i] == tag) return i;
  }
  return std::unexpected(in.unknown_variant(tag, tags));
}

// Finds the tag of an object whose "{" has just been read: when the tag key
// comes first (as every writer puts it) it is read in place and the reader
// stands after it; otherwise the object is scanned for the tag and the
// reader is put back at `object_start` + "{". Returns the variant index and
// whether the tag was consumed in place.
struct Tag {
  std::size_t index;
  bool consumed;
};
inline json::ReadResult<Tag> read_tag(json::Reader& in, std::size_t object_start, std::string_view tag_key,
                               std::span<const std::string_view> tags) {
  auto first = in.next_key();
  if (!first) return std::unexpected(first.error());
  if (*first && **first == tag_key) {
    auto value = in.read_string();
    if (!value) return std::unexpected(value.error());
    auto index = variant_index(in, *value, tags);
    if (!index) return std::unexpected(index.error());
    return Tag{*index, true};
  }

  // The tag comes later: scan the whole object for it, then start over.
  std::optional<std::string> tag;
  for (auto key = std::move(first);; key = in.next_key()) {
    if (!key) return std::unexpected(key.error());
    if (!*key) break;
    if (**key == tag_key) {
      if (tag) return std::unexpected(in.duplicate_field(tag_key));
      auto value = in.read_string();
      if (!value) return std::unexpected(value.error());
      tag.emplace(*value);
    } else if (auto skipped = in.skip_value(); !skipped) {
      return std::unexpected(skipped.error());
    }
  }
  if (!tag) return std::unexpected(in.missing_field(tag_key));
  auto index = variant_index(in, *tag, tags);
  if (!index) return std::unexpected(index.error());
  in.seek(object_start);
  if (auto reopened = in.begin_object("a map"); !reopened) return std::unexpected(reopened.error());
  return Tag{*index, false};
}


}  // namespace vesk::records
