#pragma once
// Names on a datastore are bytes, most often UTF-8. Listings hand them out
// both as stored and as UTF-8 text; what escapes them for printing belongs to
// the front ends (text/name_text.h).

#include <cstddef>
#include <string>

namespace ds {

// Length of the valid UTF-8 sequence at s[i], 0 when there is none
// (overlong forms, surrogates and values past U+10FFFF are not valid).
size_t utf8_length(const std::string& s, size_t i);
bool is_utf8(const std::string& s);
// s as UTF-8, with every byte that does not begin a valid sequence replaced by
// U+FFFD: how a name is shown in the window and the listings.
std::string utf8_sanitize(const std::string& s);

} // namespace ds
