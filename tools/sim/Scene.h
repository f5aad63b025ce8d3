#pragma once

#include "sim/Texture.h"
#include "sim/TextureMap.h"

#include <opencv2/core.hpp>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace orb {
namespace sim {

// Where a ray met an object: distance along the (unit) ray, the face it met and the
// face's texture coordinates in metres.
struct SurfaceHit {
    double distance = 0.0;
    int face = 0;
    cv::Point2d uv;
};

// Something in the scene that rays can hit.
class SceneObject {
public:
    virtual ~SceneObject() = default;
    // Nearest hit with 0 < distance < maxDistance of the ray origin + t dir (dir unit).
    virtual bool intersect(const cv::Vec3d& origin, const cv::Vec3d& dir, double maxDistance,
                           SurfaceHit& hit) const = 0;
    virtual cv::Vec3f colour(const SurfaceHit& hit) const = 0;
    virtual std::string name() const = 0;
};

// The room around the rig, seen from inside: an axis-aligned box in the body frame
// (z down, so the floor is at zFloor > 0 and the ceiling at zCeiling < 0).
// Faces: 0 floor, 1 ceiling, 2 front (x max), 3 back (x min), 4 right (y max), 5 left (y min).
class Room : public SceneObject {
public:
    Room(double xMin, double xMax, double yMin, double yMax, double zCeiling, double zFloor,
         const std::vector<Texture>& faceTextures, double texelSize);
    bool intersect(const cv::Vec3d& origin, const cv::Vec3d& dir, double maxDistance,
                   SurfaceHit& hit) const override;
    cv::Vec3f colour(const SurfaceHit& hit) const override;
    std::string name() const override { return "room"; }

private:
    cv::Vec3d min_, max_;
    std::vector<TextureMap> maps_;
};

// An object standing on the floor between zTop and zBottom: one strip of side
// texture, sideLength long, runs around it, and a flat top is textured over topArea.
class StandingObject : public SceneObject {
public:
    cv::Vec3f colour(const SurfaceHit& hit) const override;

protected:
    StandingObject(double zTop, double zBottom, int topFace, const Texture& side, double sideLength,
                   const Texture& top, const cv::Rect2d& topArea, double texelSize);

    double zTop_, zBottom_;

private:
    int topFace_;
    TextureMap side_, top_;
};

// A vertical cylinder standing on the floor with a flat top. Faces: 0 side, 1 top.
class Cylinder : public StandingObject {
public:
    Cylinder(const cv::Point2d& axis, double radius, double zTop, double zBottom,
             const Texture& side, const Texture& top, double texelSize);
    bool intersect(const cv::Vec3d& origin, const cv::Vec3d& dir, double maxDistance,
                   SurfaceHit& hit) const override;
    std::string name() const override { return "cylinder"; }

private:
    cv::Point2d axis_;
    double radius_;
    double seamAngle_;  // texture seam faces away from the rig
};

// A box standing on the floor, turned by yaw about the vertical. Faces 0-3 sides, 4 top.
class Block : public StandingObject {
public:
    Block(const cv::Point2d& centre, double halfLength, double halfWidth, double yaw, double zTop,
          double zBottom, const Texture& side, const Texture& top, double texelSize);
    bool intersect(const cv::Vec3d& origin, const cv::Vec3d& dir, double maxDistance,
                   SurfaceHit& hit) const override;
    std::string name() const override { return "block"; }

private:
    cv::Point2d centre_;
    double halfLength_, halfWidth_, cosYaw_, sinYaw_;
    double boundSquared_;  // squared radius of the vertical cylinder around the block
};

// Another object turned by an angle about the rig's vertical axis (the body frame's z
// through the rig centre). Its texture turns with it, so a turned object shows the
// same surface at another azimuth.
class TurnedObject : public SceneObject {
public:
    TurnedObject(std::shared_ptr<const SceneObject> object, double angleRadians);
    bool intersect(const cv::Vec3d& origin, const cv::Vec3d& dir, double maxDistance,
                   SurfaceHit& hit) const override;
    cv::Vec3f colour(const SurfaceHit& hit) const override { return object_->colour(hit); }
    std::string name() const override { return object_->name(); }

private:
    std::shared_ptr<const SceneObject> object_;
    double cos_, sin_;
};

// Result of tracing a ray through the scene.
struct SceneHit {
    double distance = 0.0;
    int object = -1;  // index into Scene::objects(); 0 is the room
    int face = 0;
    cv::Vec3f colour;
};

// The room's floor and ceiling, metres below and above the rig centre.
constexpr double kRoomFloorBelow = 1.5;
constexpr double kRoomCeilingAbove = 1.2;

// The rig's surroundings: a room with walls 2.5 to 5 m away, floor 1.5 m below and
// ceiling 1.2 m above the rig centre, plus (optionally) four textured objects 0.8 to
// 1.6 m away at azimuths of about 45, 135, -135 and -45 degrees, where neighbouring
// cameras overlap. Textures depend on the seed; the geometry does not. Textures are
// evaluated on a grid of texelSize metres on the room (half that on the nearer
// objects): about 4 mm suits 1280-pixel cameras, coarser grids build faster.
// nearTurnDegrees turns every near object about the rig's vertical axis (towards
// larger azimuth for positive angles), as if they had moved while the room stood still.
class Scene {
public:
    static Scene makeRoom(std::uint64_t seed, bool nearObjects, double texelSize = 0.004,
                          double nearTurnDegrees = 0.0);

    // Every ray from inside the room hits something; false only for a ray that escapes
    // (a direction that is not finite or an origin outside the room).
    bool trace(const cv::Vec3d& origin, const cv::Vec3d& dir, SceneHit& hit) const;

    const std::vector<std::shared_ptr<const SceneObject>>& objects() const { return objects_; }

    // This scene with its near objects turned by nearTurnDegrees more, sharing their
    // textures: the frames of a moving take without building the room again.
    Scene withNearTurned(double nearTurnDegrees) const;

private:
    std::vector<std::shared_ptr<const SceneObject>> objects_;
};

} // namespace sim
} // namespace orb
