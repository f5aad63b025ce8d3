#pragma once

#include <string>

namespace tools {

// A JSON string literal of any bytes: UTF-8 passes through, control characters are
// escaped, and so are '<', '>' and '&', so that the literal is also safe inside an
// HTML <script> element.
std::string jsonString(const std::string& text);

} // namespace tools
