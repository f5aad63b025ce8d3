#pragma once

#include "BaseLib/CoordinateSystems.h"

#include <cmath>

namespace orb {

// Panorama geometry: row and column of an equirectangular image of rows x cols to
// the unit direction in the rig frame (x forward, y right, z down). The elevation's
// sine and cosine are kept per row so a row costs one evaluation.
class EqrRowColToUnitVecE {
public:
    EqrRowColToUnitVecE(int rows, int cols) : rows(rows), cols(cols), sinElevation(0.0f), cosElevation(0.0f)
    {
    }

    // Row r looks at elevation (rows/2 - r - 0.5) * pi / rows.
    void setRow(int r)
    {
        const float phi = static_cast<float>(rows - 2 * r - 1) * coordinateSystems::kHalfPi / static_cast<float>(rows);
        sinElevation = static_cast<float>(std::sin(static_cast<double>(phi)));
        cosElevation = static_cast<float>(std::cos(static_cast<double>(phi)));
    }

    // Column c looks at azimuth (c + 0.5 - cols/2) * 2 pi / cols.
    void GetUnitVect(int c, float* out) const
    {
        const float theta = static_cast<float>(2 * c + 1 - cols) * coordinateSystems::kPi / static_cast<float>(cols);
        const float cosAzimuth = static_cast<float>(std::cos(static_cast<double>(theta)));
        const float sinAzimuth = static_cast<float>(std::sin(static_cast<double>(theta)));
        out[0] = static_cast<float>(static_cast<double>(cosAzimuth) * static_cast<double>(cosElevation));
        out[1] = static_cast<float>(static_cast<double>(sinAzimuth) * static_cast<double>(cosElevation));
        out[2] = -sinElevation;
    }

private:
    int rows;
    int cols;
    float sinElevation;
    float cosElevation;
};

} // namespace orb
