#pragma once

#include <opencv2/core.hpp>

namespace orb {
namespace Stereo {

// Tables of the band-to-band depth model used by scan generation. Hypotheses
// are indexed 0..n-1; hypothesis j stands for the point (j + 0.5)/n of [0, 1].

// Smooth step from c (x far below a) to d (x far above a), through (c + d)/2 at
// x = a; b sets the width of the transition.
float sigmoid(float a, float b, float c, float d, float x);

// Spread (in hypotheses) of the transition kernel used at band t: wide near the
// top and bottom of the view, tight in the middle.
float smoothingSchedule(int t);

// n x n CV_32F kernel; column i is a discretised Beta distribution with mean
// (i + 0.5)/n and standard deviation s/n (clamped so the Beta stays proper).
// A 1 x n row times this matrix gives the propagated distribution.
cv::Mat makeTransitionMatrix(int n, float s);

// bands x n CV_32F prior, one discretised Beta distribution per band (row).
cv::Mat makePrior(int bands, int n);

// Rescales every row of a CV_32F single-channel matrix to sum 1, in place.
// A row of zeros becomes NaN.
void normalizeRows(cv::Mat& m);

} // namespace Stereo
} // namespace orb
