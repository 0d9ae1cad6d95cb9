// The view's web page (page.html, built into the renderer).
#pragma once

#include <string_view>

namespace orn::view {

std::string_view view_page();

} // namespace orn::view
