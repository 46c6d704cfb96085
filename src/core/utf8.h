// UTF-8 well-formedness, checked on whole files before they are decoded.
#pragma once

#include <string_view>

namespace vesk {

// Well-formed UTF-8 as Unicode defines it: no overlong forms, no surrogates,
// nothing above U+10FFFF, no sequence cut short.
bool is_valid_utf8(std::string_view text);

}  // namespace vesk
