#include "sync/PictureSync.h"

#include "StitchLib/geometry/EqrToFisheye.h"
#include "sync/SyncError.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <stdexcept>

namespace orb {
namespace sync {

namespace {

std::string number(const char* format, double v)
{
    char text[64];
    std::snprintf(text, sizeof text, format, v);
    return text;
}

// Where each small-panorama pixel falls in one camera's image (x, y), or (-1, -1).
cv::Mat panoramaToCamera(const CameraIntrinsics& camera, float maxAngle, int height, const cv::Size& image)
{
    cv::Mat map(height, 2 * height, CV_32FC2);
    auto mapper = makeEqrToFisheye(camera, cv::Matx44f::eye(), height, 2 * height, maxAngle);
    for (int r = 0; r < height; ++r) {
        mapper.setRow(r);
        float* row = map.ptr<float>(r);
        mapper.getRowCoords(0, 2 * height, row);
        for (int c = 0; c < 2 * height; ++c) {
            float& x = row[2 * c];
            float& y = row[2 * c + 1];
            if (!(x >= 0.0f && y >= 0.0f && x <= image.width - 1.0f && y <= image.height - 1.0f))
                x = y = -1.0f;
        }
    }
    return map;
}

// One camera's side of an overlap: where its pixels are sampled in the camera's
// reduced image, and the samples of every frame read (a row per frame).
struct OverlapSide {
    cv::Mat mapX, mapY;  // 1 x pixels, CV_32F, in the reduced image
    cv::Mat values;      // frames x pixels, CV_32F
};

// Changes from each frame to the next (a row per step).
cv::Mat steps(const cv::Mat& values)
{
    if (values.rows < 2)
        return cv::Mat();
    return values.rowRange(1, values.rows) - values.rowRange(0, values.rows - 1);
}

} // namespace

CameraOffsets pictureOffsets(const Rig& rig, FrameSource& frames, const PictureSyncSettings& settings,
                             std::vector<PairAgreement>* agreement)
{
    const int cameras = rig.cameraCount();
    const int R = settings.maxOffset;
    if (R < 0 || settings.window < 4 || settings.panoramaHeight < 16 || settings.firstFrame < 0)
        throw std::invalid_argument("PictureSync pictureOffsets() needs maxOffset >= 0, window >= 4, "
                                    "panoramaHeight >= 16 and firstFrame >= 0");
    const int length = settings.window + 2 * R;
    // Lags between two cameras reach 2 maxOffset, and parallax adds up to B to them.
    const int B = std::max(0, settings.maxParallaxLag);
    const int maxLag = 2 * R + B;
    const int height = settings.panoramaHeight;

    // Each camera's reduction: its image shrunk (area average) to about the small
    // panorama's pixels per radian, so sampling it does not alias.
    std::vector<cv::Mat> firstFrames(static_cast<std::size_t>(cameras));
    std::vector<int> reduction(static_cast<std::size_t>(cameras), 1);
    std::vector<cv::Size> reducedSize(static_cast<std::size_t>(cameras));
    std::vector<cv::Mat> maps(static_cast<std::size_t>(cameras));
    std::vector<double> blurScale(static_cast<std::size_t>(cameras), 1.0);  // reduced pixels per panorama pixel
    for (int c = 0; c < cameras; ++c) {
        cv::Mat image = frames.frame(c, settings.firstFrame);
        if (image.empty())
            throw SyncError("picture sync: camera " + std::to_string(c + 1) + " has no frame "
                                + std::to_string(settings.firstFrame),
                            c + 1);
        const double perRadian = rig.cameras()[static_cast<std::size_t>(c)].lensCoeffs(0);
        reduction[static_cast<std::size_t>(c)] =
            std::max(1, static_cast<int>(perRadian / (height / CV_PI)));
        maps[static_cast<std::size_t>(c)] =
            panoramaToCamera(rig.cameras()[static_cast<std::size_t>(c)], rig.maxAngle(), height, image.size());
        firstFrames[static_cast<std::size_t>(c)] = image;
        const int k = reduction[static_cast<std::size_t>(c)];
        reducedSize[static_cast<std::size_t>(c)] = cv::Size(std::max(1, image.cols / k), std::max(1, image.rows / k));
        blurScale[static_cast<std::size_t>(c)] = perRadian / reduction[static_cast<std::size_t>(c)] / (height / CV_PI);
    }

    // The overlap of each neighbouring pair: pixels both cameras see.
    std::vector<PairAgreement> pairs;
    std::vector<OverlapSide> leftSide(static_cast<std::size_t>(cameras)), rightSide(static_cast<std::size_t>(cameras));
    for (int p = 0; p < cameras; ++p) {
        const int a = p, b = Rig::rightNeighbour(p);
        PairAgreement pair;
        pair.left = a;
        pair.right = b;
        pair.maxLag = maxLag;
        std::vector<cv::Vec4f> coords;
        const cv::Mat& ma = maps[static_cast<std::size_t>(a)];
        const cv::Mat& mb = maps[static_cast<std::size_t>(b)];
        for (int r = 0; r < height; ++r) {
            const cv::Vec2f* pa = ma.ptr<cv::Vec2f>(r);
            const cv::Vec2f* pb = mb.ptr<cv::Vec2f>(r);
            for (int col = 0; col < 2 * height; ++col)
                if (pa[col][0] >= 0.0f && pb[col][0] >= 0.0f)
                    coords.emplace_back(pa[col][0], pa[col][1], pb[col][0], pb[col][1]);
        }
        pair.pixels = static_cast<int>(coords.size());
        if (coords.empty())
            throw SyncError("picture sync: cameras " + std::to_string(a + 1) + " and " + std::to_string(b + 1)
                                + " share no view in the calibration",
                            b + 1);
        OverlapSide* sides[2] = {&leftSide[static_cast<std::size_t>(p)], &rightSide[static_cast<std::size_t>(p)]};
        for (int s = 0; s < 2; ++s) {
            const int camera = s == 0 ? a : b;
            // Pixel centres: x in the full image is (x + 0.5) scale - 0.5 in the reduced one.
            const cv::Size full = firstFrames[static_cast<std::size_t>(camera)].size();
            const cv::Size reduced = reducedSize[static_cast<std::size_t>(camera)];
            const double sx = static_cast<double>(reduced.width) / full.width;
            const double sy = static_cast<double>(reduced.height) / full.height;
            sides[s]->mapX.create(1, pair.pixels, CV_32F);
            sides[s]->mapY.create(1, pair.pixels, CV_32F);
            for (int i = 0; i < pair.pixels; ++i) {
                const cv::Vec4f& at = coords[static_cast<std::size_t>(i)];
                sides[s]->mapX.at<float>(0, i) = static_cast<float>((at[2 * s] + 0.5) * sx - 0.5);
                sides[s]->mapY.at<float>(0, i) = static_cast<float>((at[2 * s + 1] + 0.5) * sy - 0.5);
            }
        }
        pairs.push_back(pair);
    }

    // Read each camera's frames once, in order, sampling both of its overlaps.
    for (int c = 0; c < cameras; ++c) {
        const int k = reduction[static_cast<std::size_t>(c)];
        OverlapSide& asLeft = leftSide[static_cast<std::size_t>(c)];
        OverlapSide& asRight = rightSide[static_cast<std::size_t>((c + cameras - 1) % cameras)];
        std::vector<cv::Mat> rowsLeft, rowsRight;
        const cv::Size size = firstFrames[static_cast<std::size_t>(c)].size();
        for (int i = 0; i < length; ++i) {
            cv::Mat image = i == 0 ? firstFrames[static_cast<std::size_t>(c)] : frames.frame(c, settings.firstFrame + i);
            if (image.empty())
                break;
            if (image.size() != size)
                throw SyncError("picture sync: camera " + std::to_string(c + 1) + "'s frame "
                                    + std::to_string(settings.firstFrame + i) + " is " + std::to_string(image.cols)
                                    + " x " + std::to_string(image.rows) + ", its first "
                                    + std::to_string(size.width) + " x " + std::to_string(size.height),
                                c + 1);
            cv::Mat grey;
            if (image.channels() == 3)
                cv::cvtColor(image, grey, cv::COLOR_BGR2GRAY);
            else
                grey = image;
            cv::Mat small;
            grey.convertTo(small, CV_32F);
            if (k > 1)
                cv::resize(small, small, reducedSize[static_cast<std::size_t>(c)], 0, 0, cv::INTER_AREA);
            if (settings.blur > 0.0)
                cv::GaussianBlur(small, small, cv::Size(), settings.blur * blurScale[static_cast<std::size_t>(c)]);
            cv::Mat l, r;
            cv::remap(small, l, asLeft.mapX, asLeft.mapY, cv::INTER_LINEAR, cv::BORDER_REPLICATE);
            cv::remap(small, r, asRight.mapX, asRight.mapY, cv::INTER_LINEAR, cv::BORDER_REPLICATE);
            rowsLeft.push_back(l);
            rowsRight.push_back(r);
        }
        if (static_cast<int>(rowsLeft.size()) < settings.window + 1)
            throw SyncError("picture sync: camera " + std::to_string(c + 1) + " has "
                                + std::to_string(rowsLeft.size()) + " frames from frame "
                                + std::to_string(settings.firstFrame) + "; comparing needs at least "
                                + std::to_string(settings.window + 1) + " (a window of "
                                + std::to_string(settings.window) + " frames); give --offsets or use --sync audio",
                            c + 1);
        cv::vconcat(rowsLeft, asLeft.values);
        cv::vconcat(rowsRight, asRight.values);
    }

    // Agreement by lag: correlation of the two cameras' changes, over every pair of
    // steps (i in the left camera, i + lag in the right) that both recorded.
    for (int p = 0; p < cameras; ++p) {
        PairAgreement& pair = pairs[static_cast<std::size_t>(p)];
        const cv::Mat da = steps(leftSide[static_cast<std::size_t>(p)].values);
        const cv::Mat db = steps(rightSide[static_cast<std::size_t>(p)].values);
        cv::Mat products;
        cv::gemm(da, db, 1.0, cv::noArray(), 0.0, products, cv::GEMM_2_T);
        std::vector<double> na(static_cast<std::size_t>(da.rows)), nb(static_cast<std::size_t>(db.rows));
        for (int i = 0; i < da.rows; ++i)
            na[static_cast<std::size_t>(i)] = da.row(i).dot(da.row(i));
        for (int i = 0; i < db.rows; ++i)
            nb[static_cast<std::size_t>(i)] = db.row(i).dot(db.row(i));
        pair.byLag.assign(static_cast<std::size_t>(2 * maxLag + 1), 0.0);
        for (int lag = -maxLag; lag <= maxLag; ++lag) {
            double sum = 0.0, sa = 0.0, sb = 0.0;
            int counted = 0;
            for (int i = std::max(0, -lag); i < da.rows && i + lag < db.rows; ++i, ++counted) {
                sum += products.at<float>(i, i + lag);
                sa += na[static_cast<std::size_t>(i)];
                sb += nb[static_cast<std::size_t>(i + lag)];
            }
            // A lag that a short recording leaves only a few frames for proves nothing.
            if (counted < settings.window / 2)
                continue;
            pair.byLag[static_cast<std::size_t>(lag + maxLag)] = sa > 0.0 && sb > 0.0 ? sum / std::sqrt(sa * sb) : 0.0;
        }
    }
    if (agreement)
        *agreement = pairs;

    // Offsets jointly: camera 1 at 0, the others within maxOffset; pair p's lag is
    // the offset of its right camera minus its left's, plus a lag that all four pairs
    // share: near things moving about the rig are seen by the left camera of every
    // overlap a little ahead (parallax), by as much in time as they take to cross it.
    if (cameras != 4)
        throw std::logic_error("PictureSync pictureOffsets() searches four cameras");
    auto lagScore = [&](int p, int lag) {
        const std::vector<double>& byLag = pairs[static_cast<std::size_t>(p)].byLag;
        const int at = lag + maxLag;
        return at >= 0 && at < static_cast<int>(byLag.size()) ? byLag[static_cast<std::size_t>(at)] : -1.0;
    };
    // Best over the shared lag for offsets (0, o1, o2, o3).
    auto score = [&](const int* o, int* sharedLag) {
        double best = -std::numeric_limits<double>::infinity();
        for (int beta = -B; beta <= B; ++beta) {
            const double s = lagScore(0, o[1] + beta) + lagScore(1, o[2] - o[1] + beta)
                             + lagScore(2, o[3] - o[2] + beta) + lagScore(3, -o[3] + beta);
            if (s > best) {
                best = s;
                *sharedLag = beta;
            }
        }
        return best;
    };
    int best[4] = {0, 0, 0, 0}, o[4] = {0, 0, 0, 0}, bestShared = 0;
    double bestScore = -std::numeric_limits<double>::infinity();
    std::vector<double> rival(4, -std::numeric_limits<double>::infinity());
    std::vector<int> rivalOffset(4, 0);
    for (int pass = 0; pass < 2; ++pass) {
        // Pass 0 finds the best; pass 1 the best with each camera 2 or more frames from it.
        for (o[1] = -R; o[1] <= R; ++o[1])
            for (o[2] = -R; o[2] <= R; ++o[2])
                for (o[3] = -R; o[3] <= R; ++o[3]) {
                    int shared = 0;
                    const double s = score(o, &shared);
                    if (pass == 0 && s > bestScore) {
                        bestScore = s;
                        std::copy(o, o + 4, best);
                        bestShared = shared;
                    }
                    for (int c = 1; pass == 1 && c < 4; ++c)
                        if (std::abs(o[c] - best[c]) >= 2 && s > rival[static_cast<std::size_t>(c)]) {
                            rival[static_cast<std::size_t>(c)] = s;
                            rivalOffset[static_cast<std::size_t>(c)] = o[c];
                        }
                }
    }

    CameraOffsets result;
    result.frameRate = settings.frameRate;
    result.confidence.assign(4, 0.0);
    for (int c = 1; c < 4; ++c) {
        const int leftPair = (c + 3) % 4;
        const double own = std::max(lagScore(leftPair, best[c] - best[leftPair] + bestShared),
                                    lagScore(c, best[Rig::rightNeighbour(c)] - best[c] + bestShared));
        const std::string who = "camera " + std::to_string(c + 1);
        if (own < settings.minAgreement)
            throw SyncError("picture sync: " + who + " shows no motion that agrees with its neighbours' in frames "
                                + std::to_string(settings.firstFrame) + "-"
                                + std::to_string(settings.firstFrame + length - 1) + " (best correlation "
                                + number("%.2f", own) + ", needs " + number("%.2f", settings.minAgreement)
                                + "); give --offsets or use --sync audio",
                            c + 1);
        const double margin = bestScore - rival[static_cast<std::size_t>(c)];
        if (margin < settings.minMargin)
            throw SyncError("picture sync: " + who + " is ambiguous: offset " + std::to_string(best[c])
                                + " agrees only " + number("%.3f", margin) + " better than "
                                + std::to_string(rivalOffset[static_cast<std::size_t>(c)]) + " (needs "
                                + number("%.2f", settings.minMargin) + "); give --offsets or use --sync audio",
                            c + 1);
        result.confidence[static_cast<std::size_t>(c)] = margin / settings.minMargin;
    }

    // A fraction of a frame: each pair's own peak next to the joint choice, by a
    // parabola through its neighbours. The four lags then each hold the parallax
    // lag too; their mean is taken as the shared part and removed, which closes the loop.
    std::vector<double> refined(4);
    double loop = 0.0;
    for (int p = 0; p < 4; ++p) {
        const int chosen = best[Rig::rightNeighbour(p)] - best[p] + bestShared;
        int lag = chosen;
        for (int l : {chosen - 1, chosen + 1})
            if (lagScore(p, l) > lagScore(p, lag))
                lag = l;
        double fraction = 0.0;
        const double l = lagScore(p, lag - 1), m = lagScore(p, lag), h = lagScore(p, lag + 1);
        const double curvature = l - 2.0 * m + h;
        if (curvature < 0.0)
            fraction = std::clamp(0.5 * (l - h) / curvature, -0.5, 0.5);
        refined[static_cast<std::size_t>(p)] = lag + fraction;
        loop += refined[static_cast<std::size_t>(p)];
    }
    for (double& r : refined)
        r -= loop / 4.0;
    result.frames.assign(4, 0.0);
    for (int c = 1; c < 4; ++c)
        result.frames[static_cast<std::size_t>(c)] =
            result.frames[static_cast<std::size_t>(c - 1)] + refined[static_cast<std::size_t>(c - 1)];
    return result;
}

} // namespace sync
} // namespace orb
