#include "sim/Renderer.h"

#include <opencv2/core/utility.hpp>

#include <cmath>
#include <stdexcept>

namespace orb {
namespace sim {

namespace {

inline cv::Vec3b toByte(const cv::Vec3d& c)
{
    return cv::Vec3b(cv::saturate_cast<uchar>(c[0] * 255.0), cv::saturate_cast<uchar>(c[1] * 255.0),
                     cv::saturate_cast<uchar>(c[2] * 255.0));
}

// One row of a camera image; shared by the serial and the parallel driver.
struct CameraRows {
    const Scene& scene;
    const RigCamera& camera;
    int n;
    cv::Mat& image;

    void operator()(int row) const
    {
        cv::Vec3b* out = image.ptr<cv::Vec3b>(row);
        const double gain = camera.exposure() / (n * n);
        SceneHit hit;
        for (int col = 0; col < image.cols; ++col) {
            cv::Vec3d sum(0.0, 0.0, 0.0);
            for (int sy = 0; sy < n; ++sy) {
                const double y = row + (sy + 0.5) / n - 0.5;
                for (int sx = 0; sx < n; ++sx) {
                    const double x = col + (sx + 0.5) / n - 0.5;
                    cv::Vec3d origin, dir;
                    if (Renderer::cameraRay(camera, cv::Point2d(x, y), origin, dir)
                        && scene.trace(origin, dir, hit))
                        sum += cv::Vec3d(hit.colour[0], hit.colour[1], hit.colour[2]);
                }
            }
            out[col] = toByte(sum * gain);
        }
    }
};

struct TruthRows {
    const Scene& scene;
    int n;
    cv::Mat& colour;
    cv::Mat& inverseDepth;

    void operator()(int row) const
    {
        const int height = colour.rows;
        cv::Vec3b* out = colour.ptr<cv::Vec3b>(row);
        float* inv = inverseDepth.ptr<float>(row);
        const cv::Vec3d origin(0.0, 0.0, 0.0);
        SceneHit hit;
        // Depth comes from the pixel's centre ray alone: averaging across an object's
        // edge would invent a distance at which nothing stands. With odd n the centre
        // ray is one of the colour samples.
        const bool centreSampled = (n % 2) == 1;
        for (int col = 0; col < colour.cols; ++col) {
            cv::Vec3d sum(0.0, 0.0, 0.0);
            double centreDistance = 0.0;
            for (int sy = 0; sy < n; ++sy) {
                for (int sx = 0; sx < n; ++sx) {
                    const cv::Vec3d dir =
                        panoramaDirection(row + (sy + 0.5) / n - 0.5, col + (sx + 0.5) / n - 0.5, height);
                    if (scene.trace(origin, dir, hit)) {
                        sum += cv::Vec3d(hit.colour[0], hit.colour[1], hit.colour[2]);
                        if (centreSampled && sy == n / 2 && sx == n / 2)
                            centreDistance = hit.distance;
                    }
                }
            }
            out[col] = toByte(sum * (1.0 / (n * n)));
            if (!centreSampled && scene.trace(origin, panoramaDirection(row, col, height), hit))
                centreDistance = hit.distance;
            inv[col] = centreDistance > 0.0 ? static_cast<float>(1.0 / centreDistance) : 0.0f;
        }
    }
};

struct SightingRows {
    const Scene& scene;
    const std::vector<RigCamera>& rig;
    double cosMaxTheta;
    cv::Mat& count;

    void operator()(int row) const
    {
        uchar* out = count.ptr<uchar>(row);
        SceneHit hit;
        for (int col = 0; col < count.cols; ++col) {
            out[col] = 0;
            const cv::Vec3d ray = panoramaDirection(row, col, count.rows);
            if (!scene.trace(cv::Vec3d(0.0, 0.0, 0.0), ray, hit))
                continue;
            const cv::Vec3d point = ray * hit.distance;
            for (const RigCamera& camera : rig) {
                const cv::Vec3d toPoint = point - camera.position();
                const double distance = std::sqrt(toPoint.dot(toPoint));
                if (distance <= 0.0)
                    continue;
                const cv::Vec3d dir = toPoint * (1.0 / distance);
                if (dir.dot(camera.opticalAxis()) < cosMaxTheta)
                    continue;
                // Seen unless something stands in front of the point; the tolerance
                // keeps the surface from hiding itself by rounding.
                SceneHit blocker;
                if (!scene.trace(camera.position(), dir, blocker) || blocker.distance > distance - 1e-6 - 1e-4 * distance)
                    ++out[col];
            }
        }
    }
};

template <typename Rows>
void runRows(const Rows& rows, int count, bool parallel)
{
    if (parallel) {
        cv::parallel_for_(cv::Range(0, count), [&rows](const cv::Range& r) {
            for (int i = r.start; i < r.end; ++i)
                rows(i);
        });
    } else {
        for (int i = 0; i < count; ++i)
            rows(i);
    }
}

} // namespace

cv::Vec3d panoramaDirection(double row, double col, int height)
{
    const double width = 2.0 * height;
    const double el = (height * 0.5 - row - 0.5) * CV_PI / height;
    const double az = (col + 0.5 - width * 0.5) * 2.0 * CV_PI / width;
    return cv::Vec3d(std::cos(az) * std::cos(el), std::sin(az) * std::cos(el), -std::sin(el));
}

Renderer::Renderer(const Scene& scene, int supersample) : scene_(scene), supersample_(supersample)
{
    if (supersample < 1 || supersample > 16)
        throw std::runtime_error("Renderer Renderer() supersampling must be 1 to 16 per axis");
}

bool Renderer::cameraRay(const RigCamera& camera, const cv::Point2d& pixel, cv::Vec3d& origin,
                         cv::Vec3d& dir)
{
    cv::Vec3d dirC;
    if (!camera.lens().unproject(pixel, dirC))
        return false;
    origin = camera.position();
    // R^T dirC, written out: this runs for every sample.
    const cv::Matx33d& r = camera.rotation();
    cv::Vec3d d;
    for (int i = 0; i < 3; ++i)
        d[i] = r(0, i) * dirC[0] + r(1, i) * dirC[1] + r(2, i) * dirC[2];
    dir = d * (1.0 / std::sqrt(d.dot(d)));
    return true;
}

cv::Mat Renderer::renderCamera(const RigCamera& camera, bool parallel) const
{
    cv::Mat image(camera.imageSize(), CV_8UC3);
    runRows(CameraRows{scene_, camera, supersample_, image}, image.rows, parallel);
    return image;
}

void Renderer::renderTruth(int height, cv::Mat& colour, cv::Mat& inverseDepth, bool parallel) const
{
    if (height < 2)
        throw std::runtime_error("Renderer renderTruth() height must be at least 2");
    colour.create(height, 2 * height, CV_8UC3);
    inverseDepth.create(height, 2 * height, CV_32F);
    runRows(TruthRows{scene_, supersample_, colour, inverseDepth}, height, parallel);
}

cv::Mat Renderer::renderSightings(int height, const std::vector<RigCamera>& rig, double maxTheta,
                                  bool parallel) const
{
    if (height < 2)
        throw std::runtime_error("Renderer renderSightings() height must be at least 2");
    cv::Mat count(height, 2 * height, CV_8UC1);
    runRows(SightingRows{scene_, rig, std::cos(maxTheta), count}, height, parallel);
    return count;
}

} // namespace sim
} // namespace orb
