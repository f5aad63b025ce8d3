#pragma once

#include <optional>
#include <string>

namespace tools {

// The whole of `text` as a finite number within [low, high]; nothing when it is not
// one (trailing characters, "nan", "inf", out of range).
std::optional<double> parseNumber(const std::string& text, double low, double high);

// "a number from 0 to 255", with the bounds as a user writes them (not "255.000000").
std::string numberRange(double low, double high);

} // namespace tools
