#include "NumberOption.h"

#include <cmath>
#include <sstream>

namespace tools {

std::optional<double> parseNumber(const std::string& text, double low, double high)
{
    std::size_t used = 0;
    double v = 0.0;
    try {
        v = std::stod(text, &used);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    if (used != text.size() || !std::isfinite(v) || v < low || v > high)
        return std::nullopt;
    return v;
}

std::string numberRange(double low, double high)
{
    std::ostringstream out;
    out << "a number from " << low << " to " << high;
    return out.str();
}

} // namespace tools
