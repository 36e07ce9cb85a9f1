// The library's one rounding rule: floor(value + 1/2) as a 32-bit integer.
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>

namespace kest {

// Rounds half up.  Returns nothing when the result does not fit a 32-bit
// int (or the value is not finite), where a plain conversion would be
// undefined.
inline std::optional<int32_t> round_to_int32(double value) noexcept
{
    if (value == 0.0) return 0;
    const double r = std::floor(value + 0.5);
    if (!(r >= -2147483648.0 && r <= 2147483647.0)) return std::nullopt;
    return static_cast<int32_t>(r);
}

}  // namespace kest
