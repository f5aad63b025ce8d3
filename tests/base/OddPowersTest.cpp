#include "BaseLib/OddPowers.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>

namespace {

std::uint64_t bitsOf(double x)
{
    std::uint64_t bits = 0;
    std::memcpy(&bits, &x, sizeof bits);
    return bits;
}

// Counts the values of theta whose powers differ in any bit from pow's.
template <typename Next>
int mismatches(int count, Next next)
{
    int wrong = 0;
    for (int i = 0; i < count; ++i) {
        const double theta = next();
        const orb::OddPowers powers = orb::oddPowers(theta);
        wrong += bitsOf(powers.cube) != bitsOf(std::pow(theta, 3.0));
        wrong += bitsOf(powers.fifth) != bitsOf(std::pow(theta, 5.0));
        wrong += bitsOf(powers.seventh) != bitsOf(std::pow(theta, 7.0));
    }
    return wrong;
}

} // namespace

TEST(OddPowers, EqualPowBitForBitOverTheLensAngles)
{
    // Angles from the optical axis up to past a hemisphere, as the lens maps
    // see them, uniformly and on a fine grid near the axis.
    std::mt19937_64 random(7);
    std::uniform_real_distribution<double> angle(0.0, 2.2);
    EXPECT_EQ(0, mismatches(2000000, [&] { return angle(random); }));
    int i = 0;
    EXPECT_EQ(0, mismatches(200000, [&] { return 1e-6 * ++i; }));
}

TEST(OddPowers, EqualPowBitForBitOnAwkwardValues)
{
    // Random bit patterns over many magnitudes, both signs, powers of two and
    // their neighbours, the edges of the fast path, zero and non-finite values.
    std::mt19937_64 random(11);
    std::uniform_real_distribution<double> exponent(-60.0, 60.0);
    EXPECT_EQ(0, mismatches(500000, [&] {
                  const double x = std::exp2(exponent(random));
                  return (random() & 1) ? x : -x;
              }));
    for (double x : {0.0, -0.0, 1.0, 2.0, 0.5, 1e-40, 1e40, 1e-41, 1e41, 1e-300, 1e300, 4.9e-324,
                     std::nextafter(1.0, 2.0), std::nextafter(1.0, 0.0), std::nextafter(0.5, 0.0),
                     HUGE_VAL, -HUGE_VAL, std::nan("")}) {
        const orb::OddPowers powers = orb::oddPowers(x);
        for (const auto& [got, n] : {std::pair{powers.cube, 3.0}, {powers.fifth, 5.0}, {powers.seventh, 7.0}}) {
            const double want = std::pow(x, n);
            EXPECT_TRUE(bitsOf(got) == bitsOf(want) || (std::isnan(got) && std::isnan(want))) << x << "^" << n;
        }
    }
}
