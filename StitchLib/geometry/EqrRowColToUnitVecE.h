#pragma once

#include "BaseLib/CoordinateSystems.h"

#include <cmath>
#include <memory>
#include <vector>

namespace orb {

// Panorama geometry: row and column of an equirectangular image of rows x cols to
// the unit direction in the rig frame (x forward, y right, z down). The elevation's
// sine and cosine are kept per row, and the azimuth's cosine and sine per column in
// a table made once, so a pixel costs two products. Copies share the table.
class EqrRowColToUnitVecE {
public:
    EqrRowColToUnitVecE(int rows, int cols)
        : rows(rows), cols(cols), sinElevation(0.0f), cosElevation(0.0f), azimuth(azimuthTable(cols))
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
        float cosAzimuth;
        float sinAzimuth;
        if (c >= 0 && c < cols) {
            cosAzimuth = (*azimuth)[2 * static_cast<std::size_t>(c)];
            sinAzimuth = (*azimuth)[2 * static_cast<std::size_t>(c) + 1];
        } else {
            columnAzimuth(c, cols, cosAzimuth, sinAzimuth);
        }
        out[0] = static_cast<float>(static_cast<double>(cosAzimuth) * static_cast<double>(cosElevation));
        out[1] = static_cast<float>(static_cast<double>(sinAzimuth) * static_cast<double>(cosElevation));
        out[2] = -sinElevation;
    }

private:
    // The azimuth's cosine and sine of column c, rounded to float.
    static void columnAzimuth(int c, int cols, float& cosAzimuth, float& sinAzimuth)
    {
        const float theta = static_cast<float>(2 * c + 1 - cols) * coordinateSystems::kPi / static_cast<float>(cols);
        cosAzimuth = static_cast<float>(std::cos(static_cast<double>(theta)));
        sinAzimuth = static_cast<float>(std::sin(static_cast<double>(theta)));
    }

    static std::shared_ptr<const std::vector<float>> azimuthTable(int cols)
    {
        auto table = std::make_shared<std::vector<float>>(2 * static_cast<std::size_t>(cols > 0 ? cols : 0));
        for (int c = 0; c < cols; ++c) {
            columnAzimuth(c, cols, (*table)[2 * static_cast<std::size_t>(c)],
                          (*table)[2 * static_cast<std::size_t>(c) + 1]);
        }
        return table;
    }

    int rows;
    int cols;
    float sinElevation;
    float cosElevation;
    std::shared_ptr<const std::vector<float>> azimuth; // cos, sin per column
};

} // namespace orb
