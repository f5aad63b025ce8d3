#include "StitchLib/stereo/DenseDepth.h"

#include "BaseLib/CoordinateSystems.h"
#include "StitchLib/stereo/CameraPosition.h"
#include "StitchLib/stereo/DisparityRefinement.h"

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <utility>
#include <vector>

namespace orb {
namespace Stereo {

namespace {

constexpr int kCameras = 4;
// Angle about the baseline that a rectified view spans: nearly a half turn, from
// close to the zenith to close to the nadir.
constexpr double kViewSpan = 170.0 * CV_PI / 180.0;
// The same floor as scan generation: "infinitely far" is still a positive value.
constexpr float kInverseDepthFloor = 1e-6f;
// How far (radians of elevation) an upright surface is carried beyond its last
// measured cell into the unmeasured cells of its column.
constexpr double kUprightReach = 12.0 * CV_PI / 180.0;
// Measured cells whose horizontal distance the upright surface's goes by, and how far
// (a fraction of that distance) a cell or a filled value may lie off it and still count
// as the same surface.
constexpr std::size_t kUprightCells = 5;
constexpr double kUprightSameSurface = 0.2;
// Cells whose inverse depth is within this fraction of the floor's or ceiling's
// plane lie on it.
constexpr double kPlaneBand = 0.08;
// Measured cells, and those an upright surface reaches, this close to the plane take
// its value. Smoothed measurements of a plane scatter by about 1 %; the low parts of
// objects standing on the floor come within a few per cent of it and must keep their
// own depth. Other filled cells (blended along a row where one camera sees) are
// guesses, and take the plane within kPlaneBand.
constexpr double kPlaneSnap = 0.03;
// The band of a plane fitted where the pairs disagree on its height (see fitPlane).
constexpr double kLoosePlaneBand = 0.2;
// Gaps up to this fraction of the panorama width count as occlusions.
constexpr double kShortGap = 1.0 / 120.0;
// How far towards the far side the near half of an occlusion gap recedes by its end.
constexpr float kSideRecedes = 0.25f;

// Side of the matcher's window (view pixels).
constexpr int kBlock = 3;

using Vec3 = cv::Vec3d;

struct PairView {
    Vec3 origin;       // first camera's centre in the rig frame
    Vec3 axes[3];      // baseline, "down" within the view, view axis
    double baseline;   // metres
    double focal;      // pixels per radian of q and per unit tangent
    int rows;
    int cols;
};

PairView makePairView(const CameraIntrinsics& a, const CameraIntrinsics& b, const DenseDepthSettings& s)
{
    const cv::Matx<float, 3, 1> pa = BaseApi::getCamPosB(a);
    const cv::Matx<float, 3, 1> pb = BaseApi::getCamPosB(b);
    PairView v;
    v.origin = Vec3(pa(0), pa(1), pa(2));
    const Vec3 d = Vec3(pb(0), pb(1), pb(2)) - v.origin;
    v.baseline = cv::norm(d);
    v.rows = s.viewRows;
    v.focal = s.viewRows / kViewSpan;
    v.cols = 2 * static_cast<int>(std::ceil(v.focal * std::tan(static_cast<double>(s.halfWidth))));
    if (v.baseline <= 0.0)
        return v;
    v.axes[0] = d / v.baseline;
    const Vec3 outward = v.axes[0].cross(Vec3(0.0, 0.0, 1.0));
    const double n = cv::norm(outward);
    if (n < 1e-6) {
        v.baseline = 0.0;  // a vertical baseline has no horizontal view axis
        return v;
    }
    v.axes[2] = outward / n;
    v.axes[1] = v.axes[2].cross(v.axes[0]);
    return v;
}

double viewAngle(const PairView& v, double row) { return (row + 0.5 - 0.5 * v.rows) / v.focal; }
double viewTangent(const PairView& v, double col) { return (col + 0.5 - 0.5 * v.cols) / v.focal; }

// Rig-frame direction (not unit) of a view pixel in column `col` of a row whose angle
// about the baseline has this sine and cosine.
Vec3 viewDirection(const PairView& v, double col, double sinAngle, double cosAngle)
{
    return viewTangent(v, col) * v.axes[0] + sinAngle * v.axes[1] + cosAngle * v.axes[2];
}

// Rig-frame direction (not unit) of view pixel (col, row).
Vec3 viewDirection(const PairView& v, double col, double row)
{
    const double q = viewAngle(v, row);
    return viewDirection(v, col, std::sin(q), std::cos(q));
}

// The camera's rotation from the rig frame, in double precision.
cv::Matx33d rigToCamera(const CameraIntrinsics& camera)
{
    cv::Matx33d rotation;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            rotation(r, c) = camera.tmBToC(r, c);
    return rotation;
}

// Fisheye image coordinates of view pixel (x, y); (-1, -1) beyond the lens's angle.
void viewToFisheye(const PairView& v, const cv::Matx33d& rotation, const CameraIntrinsics& camera, float maxAngle,
                   float cosMaxAngle, int x, int y, float* p)
{
    const Vec3 dirC = rotation * viewDirection(v, x, y);
    const double n = cv::norm(dirC);
    const float u[3] = {static_cast<float>(dirC[0] / n), static_cast<float>(dirC[1] / n),
                        static_cast<float>(dirC[2] / n)};
    coordinateSystems::unitVecCToFisheye<false>(u, camera.lensCoeffs.val, camera.centre.val, maxAngle, cosMaxAngle,
                                                p);
}

// The box of view pixels a camera sees, from every `step`th pixel and widened by a
// step: it holds the box of the rendered mask.
cv::Rect seenBox(const PairView& v, const CameraIntrinsics& camera, cv::Size imageSize, float maxAngle, int step)
{
    const cv::Matx33d rotation = rigToCamera(camera);
    const float cosMaxAngle = std::cos(maxAngle);
    int left = v.cols, top = v.rows, right = -1, bottom = -1;
    for (int y = 0; y < v.rows + step; y += step)
        for (int x = 0; x < v.cols + step; x += step) {
            const int xs = std::min(x, v.cols - 1), ys = std::min(y, v.rows - 1);
            float p[2];
            viewToFisheye(v, rotation, camera, maxAngle, cosMaxAngle, xs, ys, p);
            if (p[0] >= 0.0f && p[1] >= 0.0f && p[0] <= imageSize.width - 1.0f && p[1] <= imageSize.height - 1.0f) {
                left = std::min(left, xs);
                top = std::min(top, ys);
                right = std::max(right, xs);
                bottom = std::max(bottom, ys);
            }
        }
    if (right < 0)
        return cv::Rect();
    return cv::Rect(left - step, top - step, right - left + 2 * step + 1, bottom - top + 2 * step + 1) &
           cv::Rect(0, 0, v.cols, v.rows);
}

// Where each pixel within `area` of the view lies in the camera's image (from the
// camera's own centre), (-1, -1) where the lens does not reach.
cv::Mat viewMap(const PairView& v, const CameraIntrinsics& camera, float maxAngle, const cv::Rect& area)
{
    cv::Mat map(area.size(), CV_32FC2);
    const float cosMaxAngle = std::cos(maxAngle);
    const cv::Matx33d rotation = rigToCamera(camera);
    cv::parallel_for_(cv::Range(0, area.height), [&](const cv::Range& range) {
        for (int y = range.start; y < range.end; ++y) {
            float* out = map.ptr<float>(y);
            for (int x = 0; x < area.width; ++x)
                viewToFisheye(v, rotation, camera, maxAngle, cosMaxAngle, area.x + x, area.y + y, out + 2 * x);
        }
    });
    return map;
}

// The view pixels whose whole interpolation lies within an image of `imageSize`.
cv::Mat viewMask(const cv::Mat& map, cv::Size imageSize)
{
    cv::Mat mask;
    cv::remap(cv::Mat(imageSize, CV_8U, cv::Scalar(255)), mask, map, cv::noArray(), cv::INTER_LINEAR,
              cv::BORDER_CONSTANT, cv::Scalar(0));
    cv::threshold(mask, mask, 254, 255, cv::THRESH_BINARY);
    return mask;
}

// A camera's image in grey.
cv::Mat greyImage(const cv::Mat& image)
{
    if (image.channels() == 1)
        return image;
    cv::Mat grey;
    cv::cvtColor(image, grey, image.channels() == 4 ? cv::COLOR_BGRA2GRAY : cv::COLOR_BGR2GRAY);
    return grey;
}

// Grey view of one camera through its map.
cv::Mat renderView(const cv::Mat& grey, const cv::Mat& map)
{
    cv::Mat view;
    cv::remap(grey, view, map, cv::noArray(), cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar(0));
    return view;
}

cv::Mat matchDisparity(const cv::Mat& left, const cv::Mat& right, int numDisparities)
{
    cv::Ptr<cv::StereoSGBM> sgbm = cv::StereoSGBM::create(-2, numDisparities, kBlock, 8 * kBlock * kBlock,
                                                          32 * kBlock * kBlock, -1, 31, 10, 100, 2,
                                                          cv::StereoSGBM::MODE_SGBM_3WAY);
    cv::Mat disparity;
    sgbm->compute(left, right, disparity);
    return disparity;  // CV_16S, 4 fractional bits
}

// Consistent disparity (pixels) of the first camera's view, NaN where none.
cv::Mat_<float> consistentDisparity(const cv::Mat& viewA, const cv::Mat& viewB, const cv::Mat& maskA,
                                    const cv::Mat& maskB, int numDisparities, float tolerance)
{
    const cv::Mat left = matchDisparity(viewA, viewB, numDisparities);
    cv::Mat flippedA, flippedB, flippedRight;
    cv::flip(viewA, flippedA, 1);
    cv::flip(viewB, flippedB, 1);
    flippedRight = matchDisparity(flippedB, flippedA, numDisparities);
    cv::Mat right;
    cv::flip(flippedRight, right, 1);

    const int minValid = -2 * 16;
    cv::Mat_<float> out(viewA.size(), std::numeric_limits<float>::quiet_NaN());
    for (int y = 0; y < out.rows; ++y) {
        const short* l = left.ptr<short>(y);
        const short* r = right.ptr<short>(y);
        const uchar* ma = maskA.ptr<uchar>(y);
        const uchar* mb = maskB.ptr<uchar>(y);
        float* o = out.ptr<float>(y);
        for (int x = 0; x < out.cols; ++x) {
            if (l[x] < minValid || !ma[x])
                continue;
            const float d = l[x] / 16.0f;
            const int xb = static_cast<int>(std::lround(x - d));
            if (xb < 0 || xb >= out.cols || !mb[xb] || r[xb] < minValid)
                continue;
            if (std::fabs(r[xb] / 16.0f - d) > tolerance)
                continue;
            o[x] = d;
        }
    }
    return refineDisparity(viewA, viewB, out);
}

// Where a pair's rectified views contradict the calibration. With exact camera
// rotations a point lies on the same row in both views and its disparity is at
// least zero (no farther than infinity); an error of a degree moves it by several
// rows, the matcher then pairs unrelated pixels and the depth made of them warps
// the panorama. Blocks of the views are aligned in both directions by phase
// correlation (from the block's median matched disparity, which may itself be
// wrong): a block whose rows are off by more than `rowTolerance`, or whose content
// lies beyond infinity, is marked (255) in the returned mask of the views' size.
// Blocks too plain to align, or mostly outside either view, are left unmarked, and
// so is a block none of whose neighbours fails.
cv::Mat contradictedBlocks(const cv::Mat& viewA, const cv::Mat& viewB, const cv::Mat& maskA, const cv::Mat& maskB,
                           const cv::Mat_<float>& disparity, float rowTolerance)
{
    constexpr int kWindow = 64;
    constexpr int kStep = 32;
    // Least correlation peak of a block that counts as aligned.
    constexpr double kMinResponse = 0.08;
    // Farther than infinity by this much (view pixels) is not measurement noise.
    constexpr double kBeyondInfinity = 1.0;
    cv::Mat marked = cv::Mat::zeros(viewA.size(), CV_8U);
    if (viewA.cols < kWindow + 2 || viewA.rows < kWindow)
        return marked;
    cv::Mat a, b, hann;
    viewA.convertTo(a, CV_32F);
    viewB.convertTo(b, CV_32F);
    cv::createHanningWindow(hann, cv::Size(kWindow, kWindow), CV_32F);
    std::vector<cv::Point> blocks;
    for (int y = 0; y + kWindow <= a.rows; y += kStep)
        for (int x = 0; x + kWindow <= a.cols; x += kStep)
            blocks.emplace_back(x, y);
    std::vector<uchar> bad(blocks.size(), 0);
    const auto check = [&](const cv::Range& range) {
        std::vector<float> values;
        for (int i = range.start; i < range.end; ++i) {
            const cv::Rect wa(blocks[i], cv::Size(kWindow, kWindow));
            if (cv::countNonZero(maskA(wa)) < kWindow * kWindow * 9 / 10)
                continue;
            values.clear();
            const cv::Mat_<float> dw = disparity(wa);
            for (int r = 0; r < kWindow; ++r)
                for (int c = 0; c < kWindow; ++c)
                    if (!std::isnan(dw(r, c)))
                        values.push_back(dw(r, c));
            int d0 = 0;
            if (values.size() * 8 >= static_cast<std::size_t>(kWindow * kWindow)) {
                std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
                d0 = static_cast<int>(std::lround(values[values.size() / 2]));
            }
            const cv::Rect wb(blocks[i].x - d0, blocks[i].y, kWindow, kWindow);
            if ((wb & cv::Rect(0, 0, b.cols, b.rows)) != wb ||
                cv::countNonZero(maskB(wb)) < kWindow * kWindow * 9 / 10)
                continue;
            double response = 0.0;
            // B's window content sits at A's shifted by the returned amount.
            const cv::Point2d shift = cv::phaseCorrelate(a(wa), b(wb), hann, &response);
            if (!(response >= kMinResponse))
                continue;
            const double rows = std::fabs(shift.y);
            const double d = d0 - shift.x;
            if (rows > rowTolerance || d < -kBeyondInfinity)
                bad[i] = 255;
        }
    };
    check(cv::Range(0, static_cast<int>(blocks.size())));
    // A rotation error moves rows smoothly over a view, so its blocks fail in groups;
    // a block failing alone (a repeated pattern, a depth edge) is chance.
    const int margin = (kWindow - kStep) / 2;
    const int across = (a.cols - kWindow) / kStep + 1;
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        if (!bad[i])
            continue;
        const int bx = static_cast<int>(i) % across, by = static_cast<int>(i) / across;
        bool grouped = false;
        for (int dy = -1; dy <= 1 && !grouped; ++dy)
            for (int dx = -1; dx <= 1 && !grouped; ++dx) {
                const int x = bx + dx, y = by + dy;
                const std::size_t j = static_cast<std::size_t>(y * across + x);
                grouped = (dx || dy) && x >= 0 && x < across && y >= 0 && j < blocks.size() && bad[j];
            }
        if (grouped)
            marked(cv::Rect(blocks[i].x + margin, blocks[i].y + margin, kStep, kStep)).setTo(255);
    }
    return marked;
}

// Marks the panorama cells (255) that the marked pixels of a pair's view (at `offset`
// in the view) look at, seen from the rig origin: the pair's cameras sit a few
// centimetres off it, far less than a cell.
void markFallback(const PairView& v, const cv::Mat& marked, cv::Point offset, cv::Mat& fallback)
{
    const int rows = fallback.rows;
    const int cols = fallback.cols;
    for (int y = 0; y < marked.rows; ++y) {
        const uchar* m = marked.ptr<uchar>(y);
        for (int x = 0; x < marked.cols; ++x) {
            if (!m[x])
                continue;
            const Vec3 p = viewDirection(v, offset.x + x, offset.y + y);
            const double dist = cv::norm(p);
            const double elevation = std::asin(std::clamp(-p[2] / dist, -1.0, 1.0));
            const int r = std::clamp(static_cast<int>(std::floor((0.5 - elevation / CV_PI) * rows)), 0, rows - 1);
            int c = static_cast<int>(std::floor((std::atan2(p[1], p[0]) / (2.0 * CV_PI) + 0.5) * cols));
            c = ((c % cols) + cols) % cols;
            fallback.at<uchar>(r, c) = 255;
        }
    }
}

// Where the consistent matches of one pair land in the panorama (rows x cols): per
// view row, in order, the cell index and the inverse distance from the rig origin.
std::vector<std::vector<std::pair<int, float>>> placePair(const PairView& v, const cv::Mat_<float>& disparity,
                                                          int rows, int cols)
{
    std::vector<std::vector<std::pair<int, float>>> placed(static_cast<std::size_t>(disparity.rows));
    cv::parallel_for_(cv::Range(0, disparity.rows), [&](const cv::Range& range) {
        for (int y = range.start; y < range.end; ++y) {
            const float* d = disparity.ptr<float>(y);
            std::vector<std::pair<int, float>>& out = placed[static_cast<std::size_t>(y)];
            const double q = viewAngle(v, y);
            const double sinAngle = std::sin(q), cosAngle = std::cos(q);
            for (int x = 0; x < disparity.cols; ++x) {
                // Zero and negative disparities are "infinitely far": no point to place.
                if (!(d[x] > 0.05f))
                    continue;
                const Vec3 p = v.origin + (v.baseline * v.focal / d[x]) * viewDirection(v, x, sinAngle, cosAngle);
                const double dist = cv::norm(p);
                if (!(dist > 1e-6))
                    continue;
                const double elevation = std::asin(std::clamp(-p[2] / dist, -1.0, 1.0));
                const double azimuth = std::atan2(p[1], p[0]);
                const int r =
                    std::clamp(static_cast<int>(std::floor((0.5 - elevation / CV_PI) * rows)), 0, rows - 1);
                int c = static_cast<int>(std::floor((azimuth / (2.0 * CV_PI) + 0.5) * cols));
                c = ((c % cols) + cols) % cols;
                out.emplace_back(r * cols + c, static_cast<float>(1.0 / dist));
            }
        }
    });
    return placed;
}

// Writes the placed matches of one pair into the panorama: per cell, the nearest
// surface's mean inverse distance. The first pass over all pairs finds the nearest
// value of each cell, the second averages those close to it, in the same order
// every time (the sums are of floats).
void splatPair(const std::vector<std::vector<std::pair<int, float>>>& placed, cv::Mat_<float>& nearest,
               cv::Mat_<float>& sum, cv::Mat_<float>& count, bool nearestPass)
{
    float* n = nearest.ptr<float>(0);
    float* s = sum.ptr<float>(0);
    float* k = count.ptr<float>(0);
    for (const auto& row : placed)
        for (const auto& [cell, rho] : row) {
            if (nearestPass) {
                n[cell] = std::max(n[cell], rho);
            } else if (rho >= 0.85f * n[cell]) {
                // Only the front surface of a cell counts: averaging across an
                // object's edge would invent a distance where nothing stands.
                s[cell] += rho;
                k[cell] += 1.0f;
            }
        }
}

// The background next to a long gap, walking from `from` in steps of `step`
// over the measured cells of up to an eighth of the row: the farthest value there
// sets the background level, and the first cell from the gap within 20 % of it
// gives the value. A near object at the gap's edge is thus passed over.
float sideFarValue(const float* row, int cols, int from, int step)
{
    const int reach = std::max(1, cols / 8);
    float farthest = row[from];
    for (int k = 0; k < reach; ++k) {
        const float v = row[((from + step * k) % cols + cols) % cols];
        if (v > 0.0f)
            farthest = std::min(farthest, v);
    }
    for (int k = 0; k < reach; ++k) {
        const float v = row[((from + step * k) % cols + cols) % cols];
        if (v > 0.0f && v <= 1.2f * farthest)
            return v;
    }
    return farthest;
}

// Fills the gaps of one cyclic row; false when the row holds no value. A gap is an
// occlusion when it is short, or no wider than the parallax of its two sides across
// `baseline` (metres) and a little more: next to a near object, the strip one camera
// of a pair cannot see is that wide. `stretch` is the row's columns per column's
// angle at the horizon (1 / cos elevation).
bool fillRow(float* row, int cols, float baseline, double stretch)
{
    int first = -1;
    for (int c = 0; c < cols; ++c)
        if (row[c] > 0.0f) {
            first = c;
            break;
        }
    if (first < 0)
        return false;
    const int shortGap = std::max(1, static_cast<int>(std::lround(kShortGap * cols)));
    std::vector<float> out(row, row + cols);
    // Walk the gaps cyclically, starting from a measured cell.
    int c = first;
    int visited = 0;
    while (visited < cols) {
        const int start = c;
        int next = (start + 1) % cols;
        int gap = 0;
        while (!(row[next] > 0.0f)) {
            next = (next + 1) % cols;
            ++gap;
        }
        visited += gap + 1;
        if (gap > 0) {
            const float leftValue = row[start];
            const float rightValue = row[next];
            const double parallax = 1.25 * baseline * std::fabs(leftValue - rightValue) * cols / (2.0 * CV_PI);
            if (gap <= std::max(static_cast<double>(shortGap), parallax)) {
                // Occlusion: beside a depth edge one camera sees the background the
                // other cannot, and the near surface's side the other cannot.
                const float far = std::min(leftValue, rightValue);
                const float near = std::max(leftValue, rightValue);
                const bool nearOnLeft = leftValue > rightValue;
                const bool edge = near > 1.25f * far;
                // What the gap holds next to the far side is background that one
                // camera sees past the near edge. Seen from the rig centre, midway
                // between the two cameras, it spans half the parallax between the
                // far side and where the near side's side ends (a quarter of the way
                // to the far side); the rest, next to the near edge, is the side.
                // A gap no wider than that is all background: the side faces away
                // from the centre. Without a known baseline, the gap is halved.
                int side = 0;
                if (edge && baseline > 0.0f) {
                    const double sideEnd = near - kSideRecedes * (near - far);
                    const double behind = 0.5 * baseline * (sideEnd - far) * stretch * cols / (2.0 * CV_PI);
                    side = std::max(0, gap - static_cast<int>(std::lround(behind)));
                } else if (edge) {
                    side = gap / 2;
                }
                const float sideCells = static_cast<float>(side + 2);
                for (int k = 1; k <= gap; ++k) {
                    const int fromEdge = nearOnLeft ? k : gap + 1 - k;
                    const float w = kSideRecedes * static_cast<float>(fromEdge) / sideCells;
                    out[(start + k) % cols] = fromEdge <= side ? (1.0f - w) * near + w * far : far;
                }
            } else {
                // One camera only: blend between the far values of both sides.
                const float leftFar = sideFarValue(row, cols, start, -1);
                const float rightFar = sideFarValue(row, cols, next, +1);
                for (int k = 1; k <= gap; ++k) {
                    const float w = static_cast<float>(k) / static_cast<float>(gap + 1);
                    out[(start + k) % cols] = (1.0f - w) * leftFar + w * rightFar;
                }
            }
        }
        c = next;
    }
    std::copy(out.begin(), out.end(), row);
    return true;
}

// See fillDepthGaps: each unmeasured cell within reach towards the pole of the last
// measured cells of its column takes the upright surface through them, unless the
// filled value is much nearer (another surface in front). The horizontal distance is
// the median of the last few measured cells of one surface: a single cell carries its
// match's noise all the way down. Filled values a little nearer than the surface come
// from filling along the rows, from the nearer parts of a curved object beside the
// column, and are replaced too. `reached` marks the cells it changed.
void extendUpright(cv::Mat_<float>& d, const cv::Mat& measured, cv::Mat& reached)
{
    const int rows = d.rows;
    const int cols = d.cols;
    const int reach = std::max(1, static_cast<int>(std::lround(kUprightReach / CV_PI * rows)));
    reached = cv::Mat::zeros(rows, cols, CV_8U);
    // Each row's elevation cosine, taken once.
    std::vector<double> cosElevation(static_cast<std::size_t>(rows));
    for (int r = 0; r < rows; ++r)
        cosElevation[static_cast<std::size_t>(r)] = std::cos((0.5 - (r + 0.5) / rows) * CV_PI);
    cv::parallel_for_(cv::Range(0, cols), [&](const cv::Range& range) {
        std::vector<double> recent;  // horizontal distances of the surface's last measured cells
        std::vector<double> sorted;
        for (int c = range.start; c < range.end; ++c) {
            // Downwards from the horizon, then upwards from it.
            for (int direction : {+1, -1}) {
                int r = direction > 0 ? rows / 2 : rows / 2 - 1;
                int last = -1;
                double distance = 0.0;  // of the surface through the last measured cells
                recent.clear();
                for (; r >= 0 && r < rows; r += direction) {
                    const float v = d(r, c);
                    if (measured.at<uchar>(r, c)) {
                        const double here = cosElevation[static_cast<std::size_t>(r)] / v;
                        // A cell off the surface so far, or after a long gap, starts a new one.
                        if (last < 0 || std::abs(r - last) > reach ||
                            std::fabs(here - distance) > kUprightSameSurface * distance)
                            recent.clear();
                        recent.push_back(here);
                        if (recent.size() > kUprightCells)
                            recent.erase(recent.begin());
                        sorted = recent;
                        std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
                        distance = sorted[sorted.size() / 2];
                        last = r;
                        continue;
                    }
                    if (last < 0 || std::abs(r - last) > reach)
                        continue;
                    const float upright = static_cast<float>(cosElevation[static_cast<std::size_t>(r)] / distance);
                    if (v <= (1.0f + static_cast<float>(kUprightSameSurface)) * upright && upright != v) {
                        d(r, c) = upright;
                        reached.at<uchar>(r, c) = 255;
                    }
                }
            }
        }
    });
}

// Unit directions of a depth panorama's cells (rig frame: x forward, y right, z
// down). The sines and cosines are taken once per row and column: the filling asks
// for millions of directions a frame, and a cell's is the product of the two.
class CellDirections {
public:
    CellDirections(int rows, int cols)
        : cosElevation(static_cast<std::size_t>(rows)), sinElevation(static_cast<std::size_t>(rows)),
          cosAzimuth(static_cast<std::size_t>(cols)), sinAzimuth(static_cast<std::size_t>(cols))
    {
        for (int r = 0; r < rows; ++r) {
            const double elevation = (0.5 - (r + 0.5) / rows) * CV_PI;
            cosElevation[static_cast<std::size_t>(r)] = std::cos(elevation);
            sinElevation[static_cast<std::size_t>(r)] = std::sin(elevation);
        }
        for (int c = 0; c < cols; ++c) {
            const double azimuth = ((c + 0.5) / cols - 0.5) * 2.0 * CV_PI;
            cosAzimuth[static_cast<std::size_t>(c)] = std::cos(azimuth);
            sinAzimuth[static_cast<std::size_t>(c)] = std::sin(azimuth);
        }
    }

    Vec3 operator()(int r, int c) const
    {
        const double ce = cosElevation[static_cast<std::size_t>(r)];
        return Vec3(cosAzimuth[static_cast<std::size_t>(c)] * ce, sinAzimuth[static_cast<std::size_t>(c)] * ce,
                    -sinElevation[static_cast<std::size_t>(r)]);
    }

private:
    std::vector<double> cosElevation, sinElevation, cosAzimuth, sinAzimuth;
};

// See fillDepthGaps: in each column, from the horizon towards the pole, a run of
// filled cells nearer than the floor's (ceiling's) plane that no upright surface
// reaches, and below (above) which the column is back on the plane, is a surface
// hanging in the air that only the filling along the rows made; it takes the plane.
// Runs that follow on from a nearer cell (the unmeasured rest of an object) or end
// at a measured nearer cell or at the pole are kept.
void dropFloatingFill(cv::Mat_<float>& d, const cv::Mat& measured, const cv::Mat& reached, const Vec3 planes[2],
                      const CellDirections& cellDirection)
{
    const int rows = d.rows;
    const int cols = d.cols;
    cv::parallel_for_(cv::Range(0, cols), [&](const cv::Range& range) {
        for (int c = range.start; c < range.end; ++c) {
            for (int direction : {+1, -1}) {
                const Vec3& n = planes[direction > 0 ? 0 : 1];
                if (n == Vec3())
                    continue;
                const auto plane = [&](int r) { return static_cast<float>(n.dot(cellDirection(r, c))); };
                int start = -1;        // first cell of the current run
                bool open = false;     // the cell before it is no nearer than the plane
                bool freeAbove = false;
                for (int r = direction > 0 ? rows / 2 : rows / 2 - 1; r >= 0 && r < rows; r += direction) {
                    const float p = plane(r);
                    const bool nearer = p > 0.0f && d(r, c) > p * static_cast<float>(1.0 + kPlaneBand);
                    const bool floating = nearer && !measured.at<uchar>(r, c) && !reached.at<uchar>(r, c);
                    if (floating) {
                        if (start < 0) {
                            start = r;
                            open = freeAbove;
                        }
                        continue;
                    }
                    freeAbove = !nearer;
                    if (!open)
                        start = -1;
                    if (start >= 0 && p > 0.0f && std::fabs(d(r, c) - p) <= kPlaneBand * p)
                        for (int k = start; k != r; k += direction)
                            d(k, c) = plane(k);
                    start = -1;
                }
            }
        }
    });
}

// The floor (down) or ceiling plane the measurements show, from cells 20 degrees or
// more off the horizon, as the vector n with n . X = 1 for the plane's points X, so
// that the plane's inverse depth along a unit direction u is n . u. Zero when no
// plane holds enough cells. The height comes from the most common measured height
// (the plane is the largest surface that far off the horizon), then the plane is
// fitted by least squares to the cells within kPlaneBand of it, which also finds a
// tilt of the rig, and refitted to those within kPlaneSnap of the fit.
// With `loose`, every fit takes the cells within kLoosePlaneBand: where the camera
// rotations are a little off, each pair sees the plane at its own height, and no
// band of a few per cent holds enough of them.
Vec3 fitPlane(const cv::Mat_<float>& d, const cv::Mat& measured, bool down, bool loose,
              const CellDirections& cellDirection)
{
    const int rows = d.rows;
    const int cols = d.cols;
    struct Cell {
        Vec3 u;
        double rho;
    };
    std::vector<Cell> cells;
    // Heights in steps of 1 % (logarithm in hundredths), from 10 cm to 100 m.
    constexpr int kBins = 700;
    std::vector<double> histogram(kBins, 0.0);
    const double limit = std::sin(20.0 * CV_PI / 180.0);
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < cols; ++c) {
            if (!measured.at<uchar>(r, c) || !(d(r, c) > 0.0f))
                continue;
            const Vec3 u = cellDirection(r, c);
            const double s = down ? u[2] : -u[2];
            if (s < limit)
                continue;
            cells.push_back({u, d(r, c)});
            const int bin = static_cast<int>(std::lround(100.0 * std::log(s / d(r, c) / 0.1)));
            if (bin >= 0 && bin < kBins)
                histogram[static_cast<std::size_t>(bin)] += 1.0;
        }
    }
    if (cells.size() < 100)
        return Vec3();
    int mode = 0;
    double most = 0.0;
    for (int b = 0; b < kBins; ++b) {
        double around = 0.0;
        for (int k = std::max(0, b - 2); k <= std::min(kBins - 1, b + 2); ++k)
            around += histogram[static_cast<std::size_t>(k)];
        if (around > most) {
            most = around;
            mode = b;
        }
    }
    const double height = 0.1 * std::exp(mode / 100.0);
    Vec3 n(0.0, 0.0, (down ? 1.0 : -1.0) / height);
    for (int iteration = 0; iteration < 3; ++iteration) {
        cv::Matx33d normal = cv::Matx33d::zeros();
        Vec3 rhs;
        std::size_t inliers = 0;
        // The first fit takes in a tilt of the rig; the later ones only the plane's
        // own cells, not the low objects standing on it.
        const double band = loose ? kLoosePlaneBand : iteration == 0 ? kPlaneBand : kPlaneSnap;
        for (const Cell& cell : cells) {
            const double plane = n.dot(cell.u);
            if (!(plane > 0.0) || std::fabs(cell.rho - plane) > band * plane)
                continue;
            normal += cell.u * cell.u.t();
            rhs += cell.rho * cell.u;
            ++inliers;
        }
        // A plane is a large part of the cells off the horizon, or none is there.
        if (inliers < std::max<std::size_t>(100, cells.size() / 10))
            return Vec3();
        Vec3 fitted;
        if (!cv::solve(normal, rhs, fitted, cv::DECOMP_CHOLESKY))
            return Vec3();
        n = fitted;
    }
    return n;
}

// A copy of a panorama with `radius` more cells on every side, cyclic in azimuth and 0
// (nothing measured) beyond the poles, so that window loops need no index arithmetic.
cv::Mat_<float> padPanorama(const cv::Mat_<float>& m, int radius)
{
    cv::Mat_<float> wrapped, padded;
    cv::copyMakeBorder(m, wrapped, 0, 0, radius, radius, cv::BORDER_WRAP);
    cv::copyMakeBorder(wrapped, padded, radius, radius, 0, 0, cv::BORDER_CONSTANT, cv::Scalar(0));
    return padded;
}

// Removes measured cells that no two of their eight neighbours confirm (measured and
// within kSameSurface of the cell's inverse depth): a lone false match, filled around
// as if it were a surface, cuts a hole of its distance into whatever stands there.
void dropIsolated(cv::Mat_<float>& inverseDepth, cv::Mat_<float>& weight)
{
    constexpr float kSameSurface = 0.2f;
    const int rows = inverseDepth.rows;
    const int cols = inverseDepth.cols;
    const cv::Mat_<float> padded = padPanorama(inverseDepth, 1);
    cv::Mat_<uchar> lone(rows, cols, uchar(0));
    cv::parallel_for_(cv::Range(0, rows), [&](const cv::Range& range) {
        for (int r = range.start; r < range.end; ++r) {
            for (int c = 0; c < cols; ++c) {
                const float centre = inverseDepth(r, c);
                if (!(centre > 0.0f))
                    continue;
                int agreeing = 0;
                for (int j = 0; j <= 2; ++j) {
                    const float* v = padded.ptr<float>(r + j) + c;
                    for (int i = 0; i <= 2; ++i)
                        if ((i != 1 || j != 1) && v[i] > 0.0f && std::fabs(v[i] - centre) <= kSameSurface * centre)
                            ++agreeing;
                }
                lone(r, c) = agreeing < 2;
            }
        }
    });
    inverseDepth.setTo(0.0f, lone);
    if (weight.size() == inverseDepth.size())
        weight.setTo(0.0f, lone);
}

// Averages each measured cell with the measured cells around it that lie on the same
// surface (inverse depth within kSameSurface of the cell's), weighted by their match
// counts and a Gaussian of the distance. Planes and gently curved surfaces lose the
// matcher's noise; depth edges stay where they are, since the other side's cells do
// not count.
cv::Mat_<float> smoothSurfaces(const cv::Mat_<float>& inverseDepth, const cv::Mat_<float>& weight)
{
    constexpr int kRadius = 6;
    constexpr float kSigma = 3.0f;
    constexpr float kSameSurface = 0.15f;
    const int rows = inverseDepth.rows;
    const int cols = inverseDepth.cols;
    float spatial[2 * kRadius + 1][2 * kRadius + 1];
    for (int j = -kRadius; j <= kRadius; ++j)
        for (int i = -kRadius; i <= kRadius; ++i)
            spatial[j + kRadius][i + kRadius] = std::exp(-static_cast<float>(i * i + j * j) / (2.0f * kSigma * kSigma));
    const cv::Mat_<float> values = padPanorama(inverseDepth, kRadius);
    const cv::Mat_<float> weights = padPanorama(weight, kRadius);
    cv::Mat_<float> out = inverseDepth.clone();
    // One cell, the terms summed in a fixed order.
    const auto smoothCell = [&](int r, int c) {
        const float centre = inverseDepth(r, c);
        float sum = 0.0f, total = 0.0f;
        for (int j = 0; j <= 2 * kRadius; ++j) {
            const float* v = values.ptr<float>(r + j) + c;
            const float* w = weights.ptr<float>(r + j) + c;
            for (int i = 0; i <= 2 * kRadius; ++i) {
                if (!(w[i] > 0.0f) || std::fabs(v[i] - centre) > kSameSurface * centre)
                    continue;
                const float k = w[i] * spatial[j][i];
                sum += k * v[i];
                total += k;
            }
        }
        out(r, c) = sum / total;
    };
    cv::parallel_for_(cv::Range(0, rows), [&](const cv::Range& range) {
        for (int r = range.start; r < range.end; ++r) {
            int c = 0;
#if defined(__SSE2__)
            // Four neighbouring cells at once, each lane summing its own terms in the
            // same order as smoothCell (a term left out adds +0): the same bits.
            const __m128 zero = _mm_setzero_ps();
            const __m128 magnitude = _mm_castsi128_ps(_mm_set1_epi32(0x7fffffff));
            for (; c + 4 <= cols; c += 4) {
                const __m128 measured = _mm_cmpgt_ps(_mm_loadu_ps(weight.ptr<float>(r) + c), zero);
                const int lanes = _mm_movemask_ps(measured);
                if (lanes == 0)
                    continue;
                const __m128 centre = _mm_loadu_ps(inverseDepth.ptr<float>(r) + c);
                const __m128 band = _mm_mul_ps(_mm_set1_ps(kSameSurface), centre);
                __m128 sum = zero, total = zero;
                for (int j = 0; j <= 2 * kRadius; ++j) {
                    const float* v = values.ptr<float>(r + j) + c;
                    const float* w = weights.ptr<float>(r + j) + c;
                    for (int i = 0; i <= 2 * kRadius; ++i) {
                        const __m128 vi = _mm_loadu_ps(v + i);
                        const __m128 wi = _mm_loadu_ps(w + i);
                        const __m128 off = _mm_and_ps(_mm_sub_ps(vi, centre), magnitude);
                        const __m128 use = _mm_andnot_ps(_mm_cmpgt_ps(off, band), _mm_cmpgt_ps(wi, zero));
                        const __m128 k = _mm_mul_ps(wi, _mm_set1_ps(spatial[j][i]));
                        sum = _mm_add_ps(sum, _mm_and_ps(use, _mm_mul_ps(k, vi)));
                        total = _mm_add_ps(total, _mm_and_ps(use, k));
                    }
                }
                alignas(16) float result[4];
                _mm_store_ps(result, _mm_div_ps(sum, total));
                for (int lane = 0; lane < 4; ++lane)
                    if (lanes & (1 << lane))
                        out(r, c + lane) = result[lane];
            }
#endif
            for (; c < cols; ++c)
                if (weight(r, c) > 0.0f)
                    smoothCell(r, c);
        }
    });
    return out;
}

// What the dense depth of one pair needs from the rig alone: its view, the part of
// it that is rendered and matched (`roi` in the view, `local` within the rendered
// area) and, there, where each camera's image lies and which pixels it sees.
struct PairGeometry {
    PairView view;
    int a = 0;
    int b = 0;
    int numDisparities = 0;
    cv::Rect roi;
    cv::Rect local;
    cv::Mat mapA, mapB;    // CV_32FC2 of roi's size
    cv::Mat maskA, maskB;  // CV_8U of roi's size
    cv::Mat overlap;       // maskA & maskB
    int overlapPixels = 0;
};

// The rig's key: everything the pairs' geometry depends on.
std::vector<float> geometryKey(const std::vector<cv::Size>& sizes, const std::vector<CameraIntrinsics>& cameras,
                               float maxAngle, const DenseDepthSettings& settings)
{
    std::vector<float> key{maxAngle,
                           static_cast<float>(settings.viewRows),
                           settings.halfWidth,
                           settings.nearestDistance,
                           static_cast<float>(cameras.size())};
    for (std::size_t k = 0; k < cameras.size(); ++k) {
        key.push_back(static_cast<float>(sizes[k].width));
        key.push_back(static_cast<float>(sizes[k].height));
        key.insert(key.end(), cameras[k].lensCoeffs.val, cameras[k].lensCoeffs.val + 4);
        key.insert(key.end(), cameras[k].centre.val, cameras[k].centre.val + 2);
        key.insert(key.end(), cameras[k].tmBToC.val, cameras[k].tmBToC.val + 16);
    }
    return key;
}

} // namespace

struct DenseDepthGeometry::Pairs {
    std::vector<PairGeometry> list;
};

namespace {

std::shared_ptr<const DenseDepthGeometry::Pairs> buildPairs(const std::vector<cv::Size>& sizes,
                                                            const std::vector<CameraIntrinsics>& cameras,
                                                            float maxAngle, const DenseDepthSettings& settings)
{
    auto pairs = std::make_shared<DenseDepthGeometry::Pairs>();
    for (int p = 0; p < kCameras; ++p) {
        PairGeometry g;
        g.a = p;
        g.b = (p + 1) % kCameras;
        g.view = makePairView(cameras[g.a], cameras[g.b], settings);
        const PairView& v = g.view;
        // Cameras at one point see no parallax: nothing to measure.
        if (!(v.baseline > 1e-4))
            continue;
        const double largest = v.focal * v.baseline / settings.nearestDistance;
        g.numDisparities = std::max(16, static_cast<int>(std::ceil((largest + 2.0) / 16.0)) * 16);
        // Render and match only about where both cameras see, with room for the
        // search either way: the overlap is well under half of a view.
        const auto withSearch = [&](const cv::Rect& box, const cv::Rect& within) {
            const int margin = g.numDisparities + kBlock;
            return cv::Rect(box.x - margin, box.y - kBlock, box.width + 2 * margin, box.height + 2 * kBlock) &
                   within;
        };
        const cv::Rect seen = seenBox(v, cameras[g.a], sizes[g.a], maxAngle, 8) &
                              seenBox(v, cameras[g.b], sizes[g.b], maxAngle, 8);
        if (seen.empty())
            continue;
        const cv::Rect area = withSearch(seen, cv::Rect(0, 0, v.cols, v.rows));
        const cv::Mat mapA = viewMap(v, cameras[g.a], maxAngle, area);
        const cv::Mat mapB = viewMap(v, cameras[g.b], maxAngle, area);
        const cv::Mat maskA = viewMask(mapA, sizes[g.a]);
        const cv::Mat maskB = viewMask(mapB, sizes[g.b]);
        const cv::Rect both = cv::boundingRect(maskA & maskB) + area.tl();
        if (both.empty())
            continue;
        g.roi = withSearch(both, area);
        g.local = g.roi - area.tl();
        // Only the matched part is kept: each view pixel comes from its own map entry.
        g.mapA = mapA(g.local).clone();
        g.mapB = mapB(g.local).clone();
        g.maskA = maskA(g.local).clone();
        g.maskB = maskB(g.local).clone();
        g.local = cv::Rect(cv::Point(0, 0), g.roi.size());
        g.overlap = g.maskA & g.maskB;
        g.overlapPixels = cv::countNonZero(g.overlap);
        pairs->list.push_back(g);
    }
    return pairs;
}

} // namespace

DenseDepthGeometry::DenseDepthGeometry() = default;
DenseDepthGeometry::~DenseDepthGeometry() = default;

std::shared_ptr<const DenseDepthGeometry::Pairs> DenseDepthGeometry::pairs(const std::vector<cv::Size>& sizes,
                                                                          const std::vector<CameraIntrinsics>& cameras,
                                                                          float maxAngle,
                                                                          const DenseDepthSettings& settings)
{
    std::vector<float> key = geometryKey(sizes, cameras, maxAngle, settings);
    std::lock_guard<std::mutex> lock(mutex_);
    // Compared bit for bit: a camera's calibration either is the same or is not.
    if (!pairs_ || key.size() != key_.size() || std::memcmp(key.data(), key_.data(), key.size() * sizeof(float)) != 0) {
        pairs_.reset();
        pairs_ = buildPairs(sizes, cameras, maxAngle, settings);
        key_ = std::move(key);
    }
    return pairs_;
}

std::vector<cv::Size> imageSizes(const std::vector<cv::Mat>& images)
{
    std::vector<cv::Size> sizes;
    for (const cv::Mat& image : images)
        sizes.push_back(image.size());
    return sizes;
}

DepthPanorama measureDenseDepth(const std::vector<cv::Mat>& images, const std::vector<CameraIntrinsics>& cameras,
                                float maxAngle, const DenseDepthSettings& settings, DenseDepthGeometry* geometry)
{
    if (images.size() < static_cast<std::size_t>(kCameras) || cameras.size() < static_cast<std::size_t>(kCameras))
        throw std::runtime_error("Stereo measureDenseDepth() requires four images and four cameras");
    if (settings.viewRows < 16 || settings.panoramaRows < 2 || !(settings.halfWidth > 0.0f) ||
        !(settings.halfWidth < 1.5f) || !(settings.nearestDistance > 0.0f))
        throw std::runtime_error("Stereo measureDenseDepth() unusable settings");

    const int rows = settings.panoramaRows;
    cv::Mat_<float> nearest(rows, 2 * rows, 0.0f);
    cv::Mat_<float> sum(rows, 2 * rows, 0.0f);
    cv::Mat_<float> count(rows, 2 * rows, 0.0f);

    std::vector<PairView> views;
    std::vector<cv::Mat_<float>> disparities;
    std::vector<double> pairFallback(kCameras, 0.0);
    cv::Mat fallback = cv::Mat::zeros(rows, 2 * rows, CV_8U);
    const std::shared_ptr<const DenseDepthGeometry::Pairs> pairs =
        geometry ? geometry->pairs(imageSizes(images), cameras, maxAngle, settings)
                 : buildPairs(imageSizes(images), cameras, maxAngle, settings);
    std::vector<cv::Mat> greys(static_cast<std::size_t>(kCameras));
    for (const PairGeometry& g : pairs->list) {
        for (const int k : {g.a, g.b})
            if (greys[static_cast<std::size_t>(k)].empty())
                greys[static_cast<std::size_t>(k)] = greyImage(images[static_cast<std::size_t>(k)]);
        const cv::Mat viewA = renderView(greys[static_cast<std::size_t>(g.a)], g.mapA);
        const cv::Mat viewB = renderView(greys[static_cast<std::size_t>(g.b)], g.mapB);
        cv::Mat_<float> disparity(g.view.rows, g.view.cols, std::numeric_limits<float>::quiet_NaN());
        cv::Mat_<float> measured = consistentDisparity(viewA(g.local), viewB(g.local), g.maskA(g.local),
                                                       g.maskB(g.local), g.numDisparities, settings.consistency);
        const cv::Mat contradicted = contradictedBlocks(viewA(g.local), viewB(g.local), g.maskA(g.local),
                                                        g.maskB(g.local), measured, settings.rowTolerance);
        measured.setTo(std::numeric_limits<float>::quiet_NaN(), contradicted);
        measured.copyTo(disparity(g.roi));
        if (g.overlapPixels > 0)
            pairFallback[static_cast<std::size_t>(g.a)] =
                static_cast<double>(cv::countNonZero(contradicted & g.overlap)) / g.overlapPixels;
        markFallback(g.view, contradicted & g.overlap, g.roi.tl(), fallback);
        views.push_back(g.view);
        disparities.push_back(disparity);
    }
    std::vector<std::vector<std::vector<std::pair<int, float>>>> placed;
    for (std::size_t i = 0; i < views.size(); ++i)
        placed.push_back(placePair(views[i], disparities[i], rows, 2 * rows));
    for (int pass = 0; pass < 2; ++pass)
        for (const auto& pair : placed)
            splatPair(pair, nearest, sum, count, pass == 0);

    DepthPanorama out;
    out.inverseDepth = cv::Mat_<float>(rows, 2 * rows, 0.0f);
    out.weight = count;
    for (const PairView& v : views)
        out.baseline = std::max(out.baseline, static_cast<float>(v.baseline));
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < 2 * rows; ++c)
            if (count(r, c) > 0.0f)
                out.inverseDepth(r, c) = sum(r, c) / count(r, c);
    out.inverseDepth = smoothSurfaces(out.inverseDepth, count);
    out.fallback = fallback;
    out.pairFallback = pairFallback;
    return out;
}

void fallBack(DepthPanorama& depth, const cv::Mat_<float>& seedDepth)
{
    if (depth.fallback.empty() || cv::countNonZero(depth.fallback) == 0)
        return;
    if (seedDepth.size() != depth.inverseDepth.size())
        throw std::runtime_error("Stereo fallBack() needs the seed depth at the depth panorama's size");
    // Feathered over about a degree either way, so the two depths meet without a step.
    const int radius = std::max(1, depth.inverseDepth.rows / 180);
    cv::Mat_<float> marked;
    depth.fallback.convertTo(marked, CV_32F, 1.0 / 255.0);
    const cv::Mat padded = padPanorama(marked, 3 * radius);
    cv::Mat weight;
    cv::dilate(padded, weight, cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(2 * radius + 1, 2 * radius + 1)));
    cv::GaussianBlur(weight, weight, cv::Size(0, 0), radius);
    weight = weight(cv::Rect(3 * radius, 3 * radius, depth.inverseDepth.cols, depth.inverseDepth.rows));
    cv::Mat_<float> seed;
    cv::max(seedDepth, kInverseDepthFloor, seed);
    depth.inverseDepth = depth.inverseDepth.mul(1.0f - weight) + seed.mul(weight);
}

void fillDepthGaps(DepthPanorama& depth)
{
    cv::Mat_<float>& d = depth.inverseDepth;
    const int rows = d.rows;
    const int cols = d.cols;
    dropIsolated(d, depth.weight);
    const cv::Mat measured = d > 0.0f;
    std::vector<int> filled;
    for (int r = 0; r < rows; ++r) {
        const double elevation = (0.5 - (r + 0.5) / rows) * CV_PI;
        if (fillRow(d.ptr<float>(r), cols, depth.baseline, 1.0 / std::max(0.05, std::cos(elevation))))
            filled.push_back(r);
    }
    if (filled.empty()) {
        d.setTo(kInverseDepthFloor);
        return;
    }
    // Filled cells vary from row to row with the far values they came from:
    // smooth them among themselves, leaving the measurements alone.
    {
        // Only filled cells count: rows not yet filled hold zeros.
        const cv::Mat gap = (measured == 0) & (d > 0.0f);
        cv::Mat weight, values;
        gap.convertTo(weight, CV_32F, 1.0 / 255.0);
        values = d.mul(weight);
        cv::GaussianBlur(values, values, cv::Size(1, 9), 0.0, 2.0, cv::BORDER_REPLICATE);
        cv::GaussianBlur(weight, weight, cv::Size(1, 9), 0.0, 2.0, cv::BORDER_REPLICATE);
        for (int r = 0; r < rows; ++r)
            for (int c = 0; c < cols; ++c)
                if (gap.at<uchar>(r, c) && weight.at<float>(r, c) > 0.0f)
                    d(r, c) = values.at<float>(r, c) / weight.at<float>(r, c);
    }
    // Rows left empty towards the poles copy their nearest filled row.
    std::size_t k = 0;
    for (int r = 0; r < rows; ++r) {
        while (k + 1 < filled.size() && std::abs(filled[k + 1] - r) <= std::abs(filled[k] - r))
            ++k;
        if (filled[k] != r)
            d.row(filled[k]).copyTo(d.row(r));
    }
    // Standing surfaces go on beyond where they were measured: below the horizon an
    // unmeasured cell is no farther than the upright surface measured within reach
    // above it in its column (the same horizontal distance), above the horizon the
    // one below it. Near the edge of the coverage only one camera sees the feet of
    // the objects standing in the overlaps; this keeps them at the object's depth
    // instead of the background's from the sides. Where the floor comes nearer, its
    // plane below takes over.
    cv::Mat reached;
    extendUpright(d, measured, reached);
    // Nothing lies below the floor or above the ceiling: a ray that leaves the
    // horizon meets something no farther than the floor's (ceiling's) plane. This
    // lifts the unmeasured floor and ceiling, which the far walls beside them would
    // otherwise set, and the cells on the plane take its value.
    // A plane that only a loose fit finds is not used (its height is in doubt), only
    // reported: the pairs disagree about it, as they do when the rotations are off.
    const CellDirections cellDirection(rows, cols);
    Vec3 planes[2];
    for (int k = 0; k < 2; ++k) {
        planes[k] = fitPlane(d, measured, k == 0, false, cellDirection);
        if (planes[k] == Vec3())
            depth.loosePlanes += fitPlane(d, measured, k == 0, true, cellDirection) != Vec3();
    }
    cv::parallel_for_(cv::Range(0, rows), [&](const cv::Range& range) {
        for (int r = range.start; r < range.end; ++r) {
            float* row = d.ptr<float>(r);
            const uchar* m = measured.ptr<uchar>(r);
            const uchar* upright = reached.ptr<uchar>(r);
            for (int c = 0; c < cols; ++c) {
                const Vec3 u = cellDirection(r, c);
                const Vec3& n = planes[u[2] > 0.0 ? 0 : 1];
                const float plane = static_cast<float>(n.dot(u));
                if (!(plane > 0.0f))
                    continue;
                if (!m[c])
                    row[c] = std::max(row[c], plane);
                // Cells on the plane take its value: the fit over thousands of
                // cells is far steadier than any one match.
                const double band = m[c] || upright[c] ? kPlaneSnap : kPlaneBand;
                if (std::fabs(row[c] - plane) <= band * plane)
                    row[c] = plane;
            }
        }
    });
    dropFloatingFill(d, measured, reached, planes, cellDirection);
    cv::Mat smoothed;
    cv::medianBlur(d, smoothed, 5);
    smoothed.copyTo(d);
    cv::max(d, kInverseDepthFloor, d);
}

void keepCoverage(cv::Mat_<float>& inverseDepth, const std::vector<CameraIntrinsics>& cameras,
                  const std::vector<cv::Size>& imageSizes, float maxAngle)
{
    if (cameras.size() != static_cast<std::size_t>(kCameras) || imageSizes.size() != cameras.size())
        throw std::runtime_error("Stereo keepCoverage() needs four cameras and their image sizes");
    const int rows = inverseDepth.rows;
    const int cols = inverseDepth.cols;
    const float cosMaxAngle = std::cos(maxAngle);
    // A camera's part reaches 54 degrees either side of its axis (a quarter turn and
    // a tenth of one); half a cell less, so that no part's edge is counted on.
    const double reach = (54.0 * CV_PI / 180.0) - CV_PI / cols;
    const auto sees = [&](int k, const float* direction, float rho) {
        const float point[4] = {direction[0], direction[1], direction[2], rho};
        float xy[2];
        coordinateSystems::calculateUv<false, float, float>(point, cameras[k].tmBToC.val, cameras[k].lensCoeffs.val,
                                                           cameras[k].centre.val, xy, maxAngle, cosMaxAngle);
        // Inside by a pixel, so that the interpolated sample is whole.
        return xy[0] >= 1.0f && xy[1] >= 1.0f && xy[0] <= imageSizes[k].width - 2.0f &&
               xy[1] <= imageSizes[k].height - 2.0f;
    };
    // Per column, the azimuth's sine and cosine and which cameras' parts hold it.
    std::vector<double> cosAzimuth(static_cast<std::size_t>(cols)), sinAzimuth(static_cast<std::size_t>(cols));
    std::vector<std::array<bool, kCameras>> columnInPart(static_cast<std::size_t>(cols));
    for (int c = 0; c < cols; ++c) {
        const double azimuth = ((c + 0.5) / cols - 0.5) * 2.0 * CV_PI;
        cosAzimuth[static_cast<std::size_t>(c)] = std::cos(azimuth);
        sinAzimuth[static_cast<std::size_t>(c)] = std::sin(azimuth);
        for (int k = 0; k < kCameras; ++k)
            columnInPart[static_cast<std::size_t>(c)][static_cast<std::size_t>(k)] =
                std::fabs(std::remainder(azimuth - k * CV_PI / 2.0, 2.0 * CV_PI)) <= reach;
    }
    // The share of each cell's inverse depth that some camera still sees.
    cv::Mat_<float> share(rows, cols, 1.0f);
    cv::parallel_for_(cv::Range(0, rows), [&](const cv::Range& range) {
        for (int r = range.start; r < range.end; ++r) {
            const double elevation = (0.5 - (r + 0.5) / rows) * CV_PI;
            const double cosElevation = std::cos(elevation);
            const float down = static_cast<float>(-std::sin(elevation));
            // The strip at the zenith belongs to every camera's part.
            const bool zenith = elevation > 88.0 * CV_PI / 180.0;
            float* row = inverseDepth.ptr<float>(r);
            for (int c = 0; c < cols; ++c) {
                const std::size_t column = static_cast<std::size_t>(c);
                const float direction[3] = {static_cast<float>(cosAzimuth[column] * cosElevation),
                                            static_cast<float>(sinAzimuth[column] * cosElevation), down};
                bool inPart[kCameras];
                bool seen = false;
                for (int k = 0; k < kCameras; ++k) {
                    inPart[k] = zenith || columnInPart[column][static_cast<std::size_t>(k)];
                    if (inPart[k] && !seen)
                        seen = sees(k, direction, row[c]);
                }
                if (seen)
                    continue;
                // The nearest distance at which some camera still sees the ray,
                // a little farther for the interpolation between cells; rays no
                // camera sees at any distance stay far, so that they do not pull
                // their neighbours' interpolated depth out of sight either.
                float nearest = -1.0f;
                for (int k = 0; k < kCameras; ++k) {
                    if (!inPart[k] || !sees(k, direction, kInverseDepthFloor))
                        continue;
                    float lo = kInverseDepthFloor, hi = row[c];
                    for (int step = 0; step < 16; ++step) {
                        const float mid = 0.5f * (lo + hi);
                        (sees(k, direction, mid) ? lo : hi) = mid;
                    }
                    nearest = std::max(nearest, lo);
                }
                share(r, c) = nearest > 0.0f ? 0.97f * nearest / row[c] : 0.0f;
            }
        }
    });
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols; ++c)
            inverseDepth(r, c) = std::max(kInverseDepthFloor, inverseDepth(r, c) * share(r, c));
}

ScanImages depthToScan(const cv::Mat_<float>& inverseDepth, int height)
{
    if (inverseDepth.empty() || inverseDepth.cols != 2 * inverseDepth.rows || height < 1)
        throw std::runtime_error("Stereo depthToScan() needs a depth panorama twice as wide as high");
    // One wrapped column on each side, so that azimuth interpolates across the edge.
    cv::Mat wrapped;
    cv::copyMakeBorder(inverseDepth, wrapped, 0, 0, 1, 1, cv::BORDER_WRAP);
    const int width = 2 * height;
    const double sx = static_cast<double>(inverseDepth.cols) / width;
    const double sy = static_cast<double>(inverseDepth.rows) / height;
    // Per column, its left sample and weight, the same in every row.
    std::vector<int> left(static_cast<std::size_t>(width));
    std::vector<float> weight(static_cast<std::size_t>(width));
    for (int c = 0; c < width; ++c) {
        const float x = static_cast<float>((c + 0.5) * sx - 0.5 + 1.0);
        left[static_cast<std::size_t>(c)] = static_cast<int>(x);
        weight[static_cast<std::size_t>(c)] = x - static_cast<float>(left[static_cast<std::size_t>(c)]);
    }
    cv::Mat mapY(height, 1, CV_32F);
    for (int r = 0; r < height; ++r)
        mapY.at<float>(r) = static_cast<float>(std::clamp((r + 0.5) * sy - 0.5, 0.0, inverseDepth.rows - 1.0));

    ScanImages scan;
    scan.inverseDepth = cv::Mat_<float>(height, width);
    scan.intensity = cv::Mat_<uchar>::zeros(height, width);
    cv::parallel_for_(cv::Range(0, height), [&](const cv::Range& range) {
        for (int r = range.start; r < range.end; ++r) {
            const float y = mapY.at<float>(r);
            const int y0 = static_cast<int>(y);
            const int y1 = std::min(y0 + 1, wrapped.rows - 1);
            const float wy = y - static_cast<float>(y0);
            const float* a = wrapped.ptr<float>(y0);
            const float* b = wrapped.ptr<float>(y1);
            float* out = scan.inverseDepth.ptr<float>(r);
            for (int c = 0; c < width; ++c) {
                const int x0 = left[static_cast<std::size_t>(c)];
                const float wx = weight[static_cast<std::size_t>(c)];
                const float top = a[x0] + wx * (a[x0 + 1] - a[x0]);
                const float bottom = b[x0] + wx * (b[x0 + 1] - b[x0]);
                out[c] = std::max(kInverseDepthFloor, top + wy * (bottom - top));
            }
        }
    });
    scan.validRows = height;
    return scan;
}

ScanImages generateDenseScan(const std::vector<cv::Mat>& images, const std::vector<CameraIntrinsics>& cameras,
                             int height, float maxAngle, const DenseDepthSettings& settings)
{
    DepthPanorama depth = measureDenseDepth(images, cameras, maxAngle, settings);
    fillDepthGaps(depth);
    keepCoverage(depth.inverseDepth, cameras, imageSizes(images), maxAngle);
    return depthToScan(depth.inverseDepth, height);
}

} // namespace Stereo
} // namespace orb
