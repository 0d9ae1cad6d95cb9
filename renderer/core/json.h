// Text for JSON: the manifests of the ID mattes and the live view's messages.
#pragma once

#include <string>

namespace orn {

// `s` as a JSON string, quotes included: quotes, backslashes and control characters escaped, and
// each byte that is not part of valid UTF-8 written as U+FFFD, so that any name gives valid JSON.
std::string json_string(const std::string& s);

} // namespace orn
