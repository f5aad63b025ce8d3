#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

namespace orb {

// theta^3, theta^5 and theta^7 exactly as std::pow(theta, 3.0), (…, 5.0) and
// (…, 7.0) give them, at a fraction of the cost: the lens polynomial runs
// once per remap-map pixel, and the three library calls were a fifth of a
// full stitch.
//
// Each power is formed from exact products as an unevaluated sum hi + lo of
// two doubles, exact to about 2^-100 relative, so hi is the correctly rounded
// power unless the true value lies near the midpoint between two doubles. The C library's pow is
// within 0.54 units in the last place of the true value; wherever hi is
// within 0.44 units of it no other double is that close, so pow must return
// hi too. Everywhere else (about one power in ten) pow itself is called.
namespace oddPowersDetail {

struct Sum {
    double hi;
    double lo;
};

// Whether the processor multiplies and adds with one rounding. Without it the
// exact products cost more than pow itself, so pow is called throughout.
inline const bool kFusedMultiplyAdd = [] {
#if defined(__x86_64__) && defined(__GNUC__)
    __builtin_cpu_init();
    // AVX too: only then has the system enabled the registers the instruction uses.
    return __builtin_cpu_supports("avx") != 0 && __builtin_cpu_supports("fma") != 0;
#else
    return false;
#endif
}();

// a * b exactly: the rounded product and its rounding error, which one fused
// multiply-subtract gives. The instruction is named outright so that nothing
// else in the including code is compiled for it.
inline Sum exactProduct(double a, double b)
{
    const double p = a * b;
    double error = a;
#if defined(__x86_64__) && defined(__GNUC__)
    asm("vfmsub213sd %[p], %[b], %[error]" : [error] "+x"(error) : [b] "x"(b), [p] "x"(p));
#else
    error = std::fma(a, b, -p);
#endif
    return {p, error};
}

// (x.hi + x.lo) * (y.hi + y.lo), renormalised so that hi is the sum rounded.
inline Sum product(const Sum& x, const Sum& y)
{
    const Sum p = exactProduct(x.hi, y.hi);
    const double lo = p.lo + (x.hi * y.lo + x.lo * y.hi);
    const double hi = p.hi + lo;
    return {hi, lo - (hi - p.hi)};
}

// hi when it is certainly the double pow returns, else pow's own answer.
inline double settle(const Sum& power, double theta, double exponent)
{
    std::uint64_t bits = 0;
    std::memcpy(&bits, &power.hi, sizeof bits);
    const std::uint64_t mantissa = bits & ((std::uint64_t(1) << 52) - 1);
    const int exponentField = static_cast<int>((bits >> 52) & 0x7ff);
    // Normal, not a power of two (where the spacing of doubles changes), and
    // far from a midpoint.
    if (exponentField > 53 && exponentField < 0x7fe && mantissa != 0) {
        // The spacing of doubles at hi: its exponent with an empty mantissa.
        const std::uint64_t unitBits = static_cast<std::uint64_t>(exponentField - 52) << 52;
        double unit = 0.0;
        std::memcpy(&unit, &unitBits, sizeof unit);
        if (std::fabs(power.lo) <= 0.44 * unit) {
            return power.hi;
        }
    }
    return std::pow(theta, exponent);
}

} // namespace oddPowersDetail

struct OddPowers {
    double cube;
    double fifth;
    double seventh;
};

inline OddPowers oddPowers(double theta)
{
    using namespace oddPowersDetail;
    // Far from under- and overflow every partial product is exact as a sum.
    const double magnitude = std::fabs(theta);
    if (!kFusedMultiplyAdd || !(magnitude > 1e-40 && magnitude < 1e40)) {
        return {std::pow(theta, 3.0), std::pow(theta, 5.0), std::pow(theta, 7.0)};
    }
    const Sum square = exactProduct(theta, theta);
    const Sum cube = product(square, {theta, 0.0});
    const Sum fifth = product(cube, square);
    const Sum seventh = product(fifth, square);
    return {settle(cube, theta, 3.0), settle(fifth, theta, 5.0), settle(seventh, theta, 7.0)};
}

} // namespace orb
