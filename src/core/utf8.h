// UTF-8 text: well-formedness (checked on whole files before they are
// decoded) and white space.
#pragma once

#include <string_view>

namespace vesk {

// Well-formed UTF-8 as Unicode defines it: no overlong forms, no surrogates,
// nothing above U+10FFFF, no sequence cut short.
bool is_valid_utf8(std::string_view text);

// `text` without leading and trailing Unicode white space (the White_Space
// characters). Bytes that do not form a whole UTF-8 sequence are not space.
std::string_view trim_unicode_space(std::string_view text);

}  // namespace vesk
