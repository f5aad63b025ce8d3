#pragma once

#include "BaseLib/Matrix.h"
#include "BaseLib/OddPowers.h"

#include <cmath>

namespace orb {
namespace coordinateSystems {

// pi and its multiples as single-precision constants: every panorama and scan angle
// is computed in float from these values.
constexpr float kPi = 3.1415927f;
constexpr float kHalfPi = 1.5707964f;
constexpr float kTwoPi = 6.2831855f;

// The conversions below run once per remap-map pixel. Their mixed precision (float
// storage, double square roots, arctangent, polynomial and offsets) fixes the maps
// bit for bit, so the casts are deliberate.

// Unit vector along the first three components of v (a fourth is ignored); the zero
// vector gives (1, 0, 0).
template <typename V>
inline void getUnitVec(const V& v, Matrix<float, 3, 1>& out)
{
    const float s = v[0] * v[0] + v[1] * v[1] + v[2] * v[2];
    const double n = std::sqrt(static_cast<double>(s));
    if (n == 0.0) {
        out[0] = 1.0f;
        out[1] = 0.0f;
        out[2] = 0.0f;
        return;
    }
    out[0] = static_cast<float>(static_cast<double>(v[0]) / n);
    out[1] = static_cast<float>(static_cast<double>(v[1]) / n);
    out[2] = static_cast<float>(static_cast<double>(v[2]) / n);
}

template <typename V>
inline Matrix<float, 3, 1> getUnitVec(const V& v)
{
    Matrix<float, 3, 1> out;
    getUnitVec(v, out);
    return out;
}

// Image radius in pixels of a ray at angle theta (radians) from the optical axis:
// k0 * (theta + k1 theta^3 + k2 theta^5 + k3 theta^7).
inline double fisheye_radial_f(double theta, const float* const& k)
{
    const OddPowers powers = oddPowers(theta);
    double s = theta + static_cast<double>(k[1]) * powers.cube;
    s = s + static_cast<double>(k[2]) * powers.fifth;
    s = s + static_cast<double>(k[3]) * powers.seventh;
    return s * static_cast<double>(k[0]);
}

// Projects the unit camera-frame direction u (axis 0 = optical axis) into fisheye
// pixel coordinates; (-1, -1) where the ray is farther than the lens sees. Only
// cosMaxAngle decides; maxAngle is kept for the callers' signature.
template <bool Unused, typename V>
inline void unitVecCToFisheye(const V& u, const float* const& lensCoeffs, const float* const& centre,
                              float /*maxAngle*/, float cosMaxAngle, float*& out)
{
    static_assert(!Unused, "only the plain projection exists");
    const float u0 = u[0];
    const float u1 = u[1];
    const float u2 = u[2];
    if (cosMaxAngle > u0) {
        out[0] = -1.0f;
        out[1] = -1.0f;
        return;
    }
    const double r = std::sqrt(static_cast<double>(u1 * u1 + u2 * u2));
    if (r == 0.0) {
        out[0] = centre[0] + lensCoeffs[0] * u1;
        out[1] = centre[1] + lensCoeffs[0] * u2;
        return;
    }
    const double theta = std::atan2(r, static_cast<double>(u0));
    const double d = fisheye_radial_f(theta, lensCoeffs);
    out[0] = static_cast<float>(static_cast<double>(centre[0]) + static_cast<double>(u1) * d / r);
    out[1] = static_cast<float>(static_cast<double>(centre[1]) + static_cast<double>(u2) * d / r);
}

// Rig-frame homogeneous direction (w = 0: at infinity; w > 0: the point at 1/w)
// through the row-major 4x4 rig-to-camera transform into fisheye pixel coordinates.
template <bool Unused, typename DirT, typename TransformT>
inline void calculateUv(const DirT* dirB, const TransformT* transform, const float* lensCoeffs,
                        const float* centre, float* out, float maxAngle, float cosMaxAngle)
{
    const Matrix<float, 4, 1> p = mapMatrix<4, 4>(transform) * mapMatrix<4, 1>(dirB);
    const Matrix<float, 3, 1> u = getUnitVec(p);
    unitVecCToFisheye<Unused>(u, lensCoeffs, centre, maxAngle, cosMaxAngle, out);
}

} // namespace coordinateSystems
} // namespace orb
