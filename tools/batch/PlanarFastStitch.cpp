#include "PlanarFastStitch.h"

#include "StitchLib/mapping/FastStitchMaps.h"

#include <opencv2/imgproc.hpp>

#include <stdexcept>
#include <string>

namespace batch {

namespace {

// Limited-range black: the remaps' border, and what no camera reaches.
constexpr int kBlackLuma = 16;
constexpr int kNeutralChroma = 128;

// The map's mark for "no camera pixel here".
bool outside(const cv::Vec2f& p) { return p[0] == -1.f && p[1] == -1.f; }

// Chroma positions from a luma map of the 2x-sized block: each chroma sample takes the
// mean position of its four luma pixels (those the lens reaches), moved into the chroma
// plane, where sample c covers luma pixels 2c and 2c+1 and so sits at luma 2c + 0.5.
cv::Mat chromaMap(const cv::Mat& lumaMap, cv::Size size)
{
    cv::Mat map(size, CV_32FC2);
    for (int r = 0; r < size.height; ++r) {
        for (int c = 0; c < size.width; ++c) {
            float x = 0, y = 0;
            int n = 0;
            for (int dy = 0; dy < 2; ++dy) {
                for (int dx = 0; dx < 2; ++dx) {
                    const int lr = 2 * r + dy, lc = 2 * c + dx;
                    if (lr >= lumaMap.rows || lc >= lumaMap.cols)
                        continue;
                    const cv::Vec2f p = lumaMap.at<cv::Vec2f>(lr, lc);
                    if (outside(p))
                        continue;
                    x += p[0];
                    y += p[1];
                    ++n;
                }
            }
            map.at<cv::Vec2f>(r, c) = n == 0 ? cv::Vec2f(-1.f, -1.f)
                                             : cv::Vec2f((x / n - 0.5f) / 2.f, (y / n - 0.5f) / 2.f);
        }
    }
    return map;
}

// The three planes of a continuous I420 picture of `size`.
struct Planes {
    cv::Mat y, u, v;
};
Planes planesOf(const cv::Mat& i420, cv::Size size)
{
    uchar* data = const_cast<uchar*>(i420.data);
    const std::size_t luma = static_cast<std::size_t>(size.area());
    return {cv::Mat(size, CV_8UC1, data), cv::Mat(size / 2, CV_8UC1, data + luma),
            cv::Mat(size / 2, CV_8UC1, data + luma + luma / 4)};
}

} // namespace

PlanarFastStitch::PlanarFastStitch(const orb::Rig& rig, int height) : height_(height)
{
    if (height <= 0 || height % 2 != 0 || height > orb::kMaxFastStitchHeight)
        throw std::invalid_argument("PlanarFastStitch: the height must be even and at most " +
                                    std::to_string(orb::kMaxFastStitchHeight) + ", not " + std::to_string(height));
    const cv::Matx44f eye = cv::Matx44f::eye();
    const cv::Rect panorama(0, 0, 2 * height, height);
    for (int i = 0; i < static_cast<int>(rig.cameras().size()); ++i) {
        const orb::CameraIntrinsics& camera = rig.cameras()[static_cast<std::size_t>(i)];
        for (const cv::Rect& rect : orb::Rig::sectorRects(i, height)) {
            if (rect.width <= 0 || rect.height <= 0)
                continue;
            const cv::Mat map = orb::FastStitchMaps::sectorMap(camera, eye, height, rig.maxAngle(), rect);
            Sector y{i, rect, cv::Mat(), cv::Mat()};
            cv::convertMaps(map, cv::noArray(), y.positions, y.fractions, CV_16SC2);
            luma_.push_back(std::move(y));

            // A chroma sample belongs to the sector of its top-left luma pixel.
            const cv::Rect c(cv::Point((rect.x + 1) / 2, (rect.y + 1) / 2),
                             cv::Point((rect.br().x + 1) / 2, (rect.br().y + 1) / 2));
            if (c.width <= 0 || c.height <= 0)
                continue;
            const cv::Rect covered = cv::Rect(2 * c.x, 2 * c.y, 2 * c.width, 2 * c.height) & panorama;
            const cv::Mat lumaMap =
                covered == rect ? map : orb::FastStitchMaps::sectorMap(camera, eye, height, rig.maxAngle(), covered);
            Sector uv{i, c, cv::Mat(), cv::Mat()};
            cv::convertMaps(chromaMap(lumaMap, c.size()), cv::noArray(), uv.positions, uv.fractions, CV_16SC2);
            chroma_.push_back(std::move(uv));
        }
    }
}

cv::Mat PlanarFastStitch::black(cv::Size size)
{
    cv::Mat out(size.height * 3 / 2, size.width, CV_8UC1);
    out.rowRange(0, size.height).setTo(kBlackLuma);
    out.rowRange(size.height, out.rows).setTo(kNeutralChroma);
    return out;
}

cv::Mat PlanarFastStitch::stitch(const std::vector<cv::Mat>& cameras, cv::Size cameraSize) const
{
    if (cameraSize.width % 2 != 0 || cameraSize.height % 2 != 0)
        throw std::invalid_argument("PlanarFastStitch: 4:2:0 camera pictures need even sides, not " +
                                    std::to_string(cameraSize.width) + "x" + std::to_string(cameraSize.height));
    std::vector<Planes> in;
    for (std::size_t k = 0; k < cameras.size(); ++k) {
        const cv::Mat& c = cameras[k];
        if (c.type() != CV_8UC1 || !c.isContinuous() || c.cols != cameraSize.width ||
            c.rows != cameraSize.height * 3 / 2)
            throw std::invalid_argument("PlanarFastStitch: camera " + std::to_string(k + 1) + "'s picture is not " +
                                        "I420 of " + std::to_string(cameraSize.width) + "x" +
                                        std::to_string(cameraSize.height));
        in.push_back(planesOf(c, cameraSize));
    }
    const cv::Size size(2 * height_, height_);
    cv::Mat panorama = black(size);
    Planes out = planesOf(panorama, size);
    auto remapInto = [&](const Sector& s, const cv::Mat& source, cv::Mat& plane, int border) {
        if (static_cast<std::size_t>(s.camera) >= in.size())
            throw std::invalid_argument("PlanarFastStitch: no picture for camera " + std::to_string(s.camera + 1));
        // Straight into the plane: the view has the map's size and type, so nothing is
        // reallocated.
        cv::Mat target = plane(s.rect);
        cv::remap(source, target, s.positions, s.fractions, cv::INTER_LINEAR, cv::BORDER_TRANSPARENT,
                  cv::Scalar::all(border));
        CV_Assert(target.data == plane(s.rect).data);
    };
    for (const Sector& s : luma_)
        remapInto(s, in[static_cast<std::size_t>(s.camera)].y, out.y, kBlackLuma);
    for (const Sector& s : chroma_) {
        remapInto(s, in[static_cast<std::size_t>(s.camera)].u, out.u, kNeutralChroma);
        remapInto(s, in[static_cast<std::size_t>(s.camera)].v, out.v, kNeutralChroma);
    }
    return panorama;
}

} // namespace batch
