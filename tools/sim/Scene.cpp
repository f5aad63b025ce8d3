#include "sim/Scene.h"

#include <cmath>
#include <limits>
#include <stdexcept>
#include <utility>

namespace orb {
namespace sim {

namespace {

const double kEpsilon = 1e-9;
const double kInf = std::numeric_limits<double>::infinity();

// Entry and exit distances of a ray through the slab lo <= o + t d <= hi.
inline bool slab(double o, double d, double lo, double hi, double& tNear, double& tFar)
{
    if (std::abs(d) < 1e-15) {
        tNear = -kInf;
        tFar = kInf;
        return o >= lo && o <= hi;
    }
    const double a = (lo - o) / d, b = (hi - o) / d;
    tNear = std::min(a, b);
    tFar = std::max(a, b);
    return true;
}

// Random draws are made one statement at a time: the order in which function
// arguments are evaluated is unspecified, and the scene must not depend on it.
cv::Vec3f jitter(const cv::Vec3f& c, cv::RNG& rng)
{
    cv::Vec3f out;
    for (int i = 0; i < 3; ++i)
        out[i] = c[i] * static_cast<float>(rng.uniform(0.9, 1.1));
    return out;
}

} // namespace

Room::Room(double xMin, double xMax, double yMin, double yMax, double zCeiling, double zFloor,
           const std::vector<Texture>& faceTextures, double texelSize)
    : min_(xMin, yMin, zCeiling), max_(xMax, yMax, zFloor)
{
    if (faceTextures.size() != 6)
        throw std::runtime_error("Room Room() needs one texture per face (6)");
    // The texture coordinate ranges of the faces, as set in intersect().
    const double h = zFloor - zCeiling;
    const cv::Rect2d areas[6] = {
        {xMin, yMin, xMax - xMin, yMax - yMin},   // floor: (x, y)
        {xMin, -yMax, xMax - xMin, yMax - yMin},  // ceiling: (x, -y)
        {yMin, -zFloor, yMax - yMin, h},          // front: (y, -z)
        {-yMax, -zFloor, yMax - yMin, h},         // back: (-y, -z)
        {-xMax, -zFloor, xMax - xMin, h},         // right: (-x, -z)
        {xMin, -zFloor, xMax - xMin, h}};         // left: (x, -z)
    for (int i = 0; i < 6; ++i)
        maps_.emplace_back(faceTextures[i], areas[i], texelSize);
}

bool Room::intersect(const cv::Vec3d& origin, const cv::Vec3d& dir, double maxDistance,
                     SurfaceHit& hit) const
{
    // Seen from inside: the ray leaves through the nearest of the three planes ahead.
    static const int kFaceOfAxis[3][2] = {{3, 2}, {5, 4}, {1, 0}};  // [axis][towards max]
    double best = kInf;
    int face = -1;
    for (int i = 0; i < 3; ++i) {
        if (dir[i] > 0.0) {
            const double t = (max_[i] - origin[i]) / dir[i];
            if (t < best) {
                best = t;
                face = kFaceOfAxis[i][1];
            }
        } else if (dir[i] < 0.0) {
            const double t = (min_[i] - origin[i]) / dir[i];
            if (t < best) {
                best = t;
                face = kFaceOfAxis[i][0];
            }
        }
    }
    if (face < 0 || !(best > kEpsilon) || !(best < maxDistance))
        return false;
    const cv::Vec3d p = origin + best * dir;
    hit.distance = best;
    hit.face = face;
    // u runs to the right as seen from inside the room, v upwards on the walls.
    switch (face) {
    case 0: hit.uv = cv::Point2d(p[0], p[1]); break;
    case 1: hit.uv = cv::Point2d(p[0], -p[1]); break;
    case 2: hit.uv = cv::Point2d(p[1], -p[2]); break;
    case 3: hit.uv = cv::Point2d(-p[1], -p[2]); break;
    case 4: hit.uv = cv::Point2d(-p[0], -p[2]); break;
    default: hit.uv = cv::Point2d(p[0], -p[2]); break;
    }
    return true;
}

cv::Vec3f Room::colour(const SurfaceHit& hit) const
{
    return maps_[hit.face].sample(hit.uv.x, hit.uv.y);
}

StandingObject::StandingObject(double zTop, double zBottom, int topFace, const Texture& side, double sideLength,
                               const Texture& top, const cv::Rect2d& topArea, double texelSize)
    : zTop_(zTop), zBottom_(zBottom), topFace_(topFace),
      side_(side, cv::Rect2d(0.0, -zBottom, sideLength, zBottom - zTop), texelSize),
      top_(top, topArea, texelSize)
{
}

cv::Vec3f StandingObject::colour(const SurfaceHit& hit) const
{
    return (hit.face == topFace_ ? top_ : side_).sample(hit.uv.x, hit.uv.y);
}

Cylinder::Cylinder(const cv::Point2d& axis, double radius, double zTop, double zBottom,
                   const Texture& side, const Texture& top, double texelSize)
    : StandingObject(zTop, zBottom, 1, side, 2.0 * CV_PI * radius, top,
                     cv::Rect2d(-radius, -radius, 2.0 * radius, 2.0 * radius), texelSize),
      axis_(axis), radius_(radius), seamAngle_(std::atan2(axis.y, axis.x))
{
}

bool Cylinder::intersect(const cv::Vec3d& origin, const cv::Vec3d& dir, double maxDistance,
                         SurfaceHit& hit) const
{
    bool found = false;
    double best = maxDistance;
    const double ox = origin[0] - axis_.x, oy = origin[1] - axis_.y;
    const double a = dir[0] * dir[0] + dir[1] * dir[1];
    if (a > 1e-18) {
        const double b = ox * dir[0] + oy * dir[1];
        const double c = ox * ox + oy * oy - radius_ * radius_;
        const double disc = b * b - a * c;
        if (disc >= 0.0) {
            const double s = std::sqrt(disc);
            const double roots[2] = {(-b - s) / a, (-b + s) / a};
            for (double t : roots) {
                const double z = origin[2] + t * dir[2];
                if (t > kEpsilon && t < best && z >= zTop_ && z <= zBottom_) {
                    best = t;
                    hit.face = 0;
                    found = true;
                    break;
                }
            }
        }
    }
    if (dir[2] != 0.0) {
        const double t = (zTop_ - origin[2]) / dir[2];
        const double px = ox + t * dir[0], py = oy + t * dir[1];
        if (t > kEpsilon && t < best && px * px + py * py <= radius_ * radius_) {
            best = t;
            hit.face = 1;
            found = true;
        }
    }
    if (!found)
        return false;
    hit.distance = best;
    const double px = ox + best * dir[0], py = oy + best * dir[1];
    if (hit.face == 0) {
        // Angle measured from the far side, so the texture's wrap-around seam is hidden.
        double ang = std::atan2(py, px) - seamAngle_;
        while (ang < 0.0)
            ang += 2.0 * CV_PI;
        while (ang >= 2.0 * CV_PI)
            ang -= 2.0 * CV_PI;
        hit.uv = cv::Point2d(ang * radius_, -(origin[2] + best * dir[2]));
    } else {
        hit.uv = cv::Point2d(px, py);
    }
    return true;
}

Block::Block(const cv::Point2d& centre, double halfLength, double halfWidth, double yaw, double zTop,
             double zBottom, const Texture& side, const Texture& top, double texelSize)
    : StandingObject(zTop, zBottom, 4, side, 4.0 * (halfLength + halfWidth), top,
                     cv::Rect2d(-halfLength, -halfWidth, 2.0 * halfLength, 2.0 * halfWidth), texelSize),
      centre_(centre), halfLength_(halfLength), halfWidth_(halfWidth), cosYaw_(std::cos(yaw)),
      sinYaw_(std::sin(yaw)), boundSquared_(halfLength * halfLength + halfWidth * halfWidth)
{
}

bool Block::intersect(const cv::Vec3d& origin, const cv::Vec3d& dir, double maxDistance,
                      SurfaceHit& hit) const
{
    const double rx = origin[0] - centre_.x, ry = origin[1] - centre_.y;
    // Most rays miss: reject those that pass wide of the block's bounding cylinder.
    const double a = dir[0] * dir[0] + dir[1] * dir[1];
    const double b = rx * dir[0] + ry * dir[1];
    const double c = rx * rx + ry * ry - boundSquared_;
    if (c > 0.0 && (b >= 0.0 || b * b < a * c))
        return false;
    // Into the block's own frame: turned back by the yaw about the vertical.
    const double o[3] = {cosYaw_ * rx + sinYaw_ * ry, -sinYaw_ * rx + cosYaw_ * ry, origin[2]};
    const double d[3] = {cosYaw_ * dir[0] + sinYaw_ * dir[1], -sinYaw_ * dir[0] + cosYaw_ * dir[1], dir[2]};
    const double lo[3] = {-halfLength_, -halfWidth_, zTop_};
    const double hi[3] = {halfLength_, halfWidth_, zBottom_};
    double tEnter = -kInf, tExit = kInf;
    int enterAxis = -1;
    for (int i = 0; i < 3; ++i) {
        double tn, tf;
        if (!slab(o[i], d[i], lo[i], hi[i], tn, tf))
            return false;
        if (tn > tEnter) {
            tEnter = tn;
            enterAxis = i;
        }
        tExit = std::min(tExit, tf);
    }
    if (enterAxis < 0 || tEnter > tExit || !(tEnter > kEpsilon) || !(tEnter < maxDistance))
        return false;
    const double lx = o[0] + tEnter * d[0], ly = o[1] + tEnter * d[1], z = o[2] + tEnter * d[2];
    const double L = halfLength_, W = halfWidth_;
    hit.distance = tEnter;
    // Side faces share one strip of texture running around the block.
    if (enterAxis == 2) {
        hit.face = 4;
        hit.uv = cv::Point2d(lx, ly);
    } else if (enterAxis == 0 && d[0] < 0.0) {
        hit.face = 0;
        hit.uv = cv::Point2d(W + ly, -z);
    } else if (enterAxis == 1 && d[1] < 0.0) {
        hit.face = 1;
        hit.uv = cv::Point2d(2 * W + L - lx, -z);
    } else if (enterAxis == 0) {
        hit.face = 2;
        hit.uv = cv::Point2d(2 * W + 2 * L + W - ly, -z);
    } else {
        hit.face = 3;
        hit.uv = cv::Point2d(4 * W + 3 * L + lx, -z);
    }
    return true;
}

TurnedObject::TurnedObject(std::shared_ptr<const SceneObject> object, double angleRadians)
    : object_(std::move(object)), cos_(std::cos(angleRadians)), sin_(std::sin(angleRadians))
{
    if (!object_)
        throw std::runtime_error("TurnedObject TurnedObject() needs an object");
    if (!std::isfinite(angleRadians))
        throw std::runtime_error("TurnedObject TurnedObject() angle must be finite");
}

bool TurnedObject::intersect(const cv::Vec3d& origin, const cv::Vec3d& dir, double maxDistance,
                             SurfaceHit& hit) const
{
    // Turning the ray back by the angle meets the object where it stood unturned;
    // distances along the ray do not change.
    auto back = [this](const cv::Vec3d& v) {
        return cv::Vec3d(cos_ * v[0] + sin_ * v[1], -sin_ * v[0] + cos_ * v[1], v[2]);
    };
    return object_->intersect(back(origin), back(dir), maxDistance, hit);
}

Scene Scene::makeRoom(std::uint64_t seed, bool nearObjects, double texelSize, double nearTurnDegrees)
{
    if (!std::isfinite(nearTurnDegrees))
        throw std::runtime_error("Scene makeRoom() near objects' turn must be finite");
    if (!(texelSize >= 0.0005 && texelSize <= 0.1))
        throw std::runtime_error("Scene makeRoom() texel size must be 0.5 mm to 10 cm");
    cv::RNG rng(seed ^ 0x2545f4914f6cdd1dULL);
    auto texture = [&rng](Texture::Style style, const cv::Vec3f& a, const cv::Vec3f& b, bool posters) {
        const std::uint64_t high = rng.next();
        const std::uint64_t s = (high << 32) | rng.next();
        const cv::Vec3f ja = jitter(a, rng);
        const cv::Vec3f jb = jitter(b, rng);
        return Texture(style, s, ja, jb, posters);
    };
    using S = Texture::Style;
    // Colours are BGR.
    std::vector<Texture> faces;
    faces.push_back(texture(S::Tiles, {0.55f, 0.7f, 0.8f}, {0.3f, 0.4f, 0.7f}, false));      // floor
    faces.push_back(texture(S::Panels, {0.85f, 0.85f, 0.82f}, {0.9f, 0.78f, 0.68f}, false)); // ceiling
    faces.push_back(texture(S::Plaster, {0.5f, 0.75f, 0.85f}, {0.7f, 0.6f, 0.45f}, true));   // front
    faces.push_back(texture(S::Bricks, {0.25f, 0.35f, 0.65f}, {0.35f, 0.45f, 0.55f}, true));  // back
    faces.push_back(texture(S::Stripes, {0.6f, 0.5f, 0.3f}, {0.4f, 0.7f, 0.6f}, true));       // right
    faces.push_back(texture(S::Plaster, {0.3f, 0.6f, 0.5f}, {0.75f, 0.55f, 0.75f}, true));    // left

    Scene scene;
    scene.objects_.push_back(std::make_shared<Room>(-3.5, 4.5, -3.0, 3.8, -kRoomCeilingAbove, kRoomFloorBelow, faces, texelSize));
    if (nearObjects) {
        const double floorZ = 1.5;
        const double objectTexel = 0.5 * texelSize;
        auto at = [](double azimuthDeg, double distance) {
            const double a = azimuthDeg * CV_PI / 180.0;
            return cv::Point2d(distance * std::cos(a), distance * std::sin(a));
        };
        // Front-right: closest surface 1.0 m away.
        const Texture side1 = texture(S::Labels, {0.2f, 0.5f, 0.9f}, {0.7f, 0.3f, 0.2f}, false);
        const Texture top1 = texture(S::Plaster, {0.8f, 0.8f, 0.8f}, {0.4f, 0.5f, 0.6f}, false);
        scene.objects_.push_back(std::make_shared<Cylinder>(at(45.0, 1.25), 0.25, -0.55, floorZ, side1, top1, objectTexel));
        // Back-right: closest surface about 1.3 m away.
        const Texture side2 = texture(S::Stripes, {0.2f, 0.8f, 0.5f}, {0.8f, 0.3f, 0.6f}, false);
        const Texture top2 = texture(S::Checker, {0.5f, 0.5f, 0.5f}, {0.3f, 0.6f, 0.8f}, false);
        scene.objects_.push_back(std::make_shared<Block>(at(135.0, 1.6), 0.3, 0.25, 20.0 * CV_PI / 180.0,
                                                         -0.35, floorZ, side2, top2, objectTexel));
        // Back-left: closest surface about 1.55 m away, reaching highest.
        const Texture side3 = texture(S::Checker, {0.7f, 0.6f, 0.3f}, {0.3f, 0.7f, 0.8f}, false);
        const Texture top3 = texture(S::Plaster, {0.6f, 0.7f, 0.6f}, {0.4f, 0.4f, 0.6f}, false);
        scene.objects_.push_back(std::make_shared<Cylinder>(at(-135.0, 1.85), 0.3, -0.8, floorZ, side3, top3, objectTexel));
        // Front-left: closest surface about 0.9 m away.
        const Texture side4 = texture(S::Labels, {0.8f, 0.7f, 0.3f}, {0.3f, 0.3f, 0.8f}, false);
        const Texture top4 = texture(S::Tiles, {0.6f, 0.6f, 0.7f}, {0.5f, 0.7f, 0.5f}, false);
        scene.objects_.push_back(std::make_shared<Block>(at(-45.0, 1.15), 0.22, 0.2, -30.0 * CV_PI / 180.0,
                                                         -0.45, floorZ, side4, top4, objectTexel));
        if (nearTurnDegrees != 0.0) {
            for (std::size_t i = 1; i < scene.objects_.size(); ++i)
                scene.objects_[i] = std::make_shared<TurnedObject>(scene.objects_[i], nearTurnDegrees * CV_PI / 180.0);
        }
    }
    return scene;
}

Scene Scene::withNearTurned(double nearTurnDegrees) const
{
    if (!std::isfinite(nearTurnDegrees))
        throw std::runtime_error("Scene withNearTurned() near objects' turn must be finite");
    Scene turned = *this;
    if (nearTurnDegrees != 0.0) {
        for (std::size_t i = 1; i < turned.objects_.size(); ++i)
            turned.objects_[i] = std::make_shared<TurnedObject>(objects_[i], nearTurnDegrees * CV_PI / 180.0);
    }
    return turned;
}

bool Scene::trace(const cv::Vec3d& origin, const cv::Vec3d& dir, SceneHit& hit) const
{
    double best = kInf;
    SurfaceHit surface, candidate;
    int winner = -1;
    for (size_t i = 0; i < objects_.size(); ++i) {
        if (objects_[i]->intersect(origin, dir, best, candidate)) {
            best = candidate.distance;
            surface = candidate;
            winner = static_cast<int>(i);
        }
    }
    if (winner < 0)
        return false;
    hit.distance = surface.distance;
    hit.object = winner;
    hit.face = surface.face;
    hit.colour = objects_[winner]->colour(surface);
    return true;
}

} // namespace sim
} // namespace orb
