// Text for JSON: the manifests of the ID mattes and the live view's messages.
#pragma once

#include <cstddef>
#include <string>

namespace orn {

// `s` as a JSON string, quotes included: quotes, backslashes and control characters escaped, and
// each byte that is not part of valid UTF-8 written as U+FFFD, so that any name gives valid JSON.
std::string json_string(const std::string& s);

// The length of the valid UTF-8 sequence that starts at s[i] (1 to 4), or 0 when the byte
// starts none (a stray continuation byte, an overlong form, a surrogate, a cut-off sequence).
std::size_t utf8_length(const std::string& s, std::size_t i);

} // namespace orn
