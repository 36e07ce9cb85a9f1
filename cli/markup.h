// Text put into XML, SVG and HTML files the tool writes.
#pragma once

#include <string>
#include <string_view>

namespace kest_cli {

// The text with the characters that would end or open markup escaped, so
// that names and labels, whatever they hold, stay text.
std::string markup_escaped(std::string_view text);

}  // namespace kest_cli
