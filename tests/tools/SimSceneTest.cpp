#include "sim/Scene.h"

#include <gtest/gtest.h>

#include <cmath>

using orb::sim::Scene;
using orb::sim::SceneHit;

namespace {

const double kDeg = CV_PI / 180.0;

// Coarse texels: these tests are about geometry, and coarse textures build fast.
const Scene& sceneWithObjects()
{
    static const Scene scene = Scene::makeRoom(5, true, 0.05);
    return scene;
}

cv::Vec3d horizontal(double azimuthDeg)
{
    return cv::Vec3d(std::cos(azimuthDeg * kDeg), std::sin(azimuthDeg * kDeg), 0.0);
}

double traceDistance(const Scene& scene, const cv::Vec3d& origin, const cv::Vec3d& towards, int* object = nullptr)
{
    SceneHit hit;
    const cv::Vec3d dir = cv::normalize(towards);
    EXPECT_TRUE(scene.trace(origin, dir, hit));
    if (object)
        *object = hit.object;
    return hit.distance;
}

} // namespace

TEST(SimScene, RaysMeetRoomWallsFloorAndCeilingAtTheirDistances)
{
    const Scene& scene = sceneWithObjects();
    const cv::Vec3d origin(0, 0, 0);
    int object = -1;
    EXPECT_NEAR(traceDistance(scene, origin, {1, 0, 0}, &object), 4.5, 1e-9);
    EXPECT_EQ(object, 0);
    EXPECT_NEAR(traceDistance(scene, origin, {-1, 0, 0}), 3.5, 1e-9);
    EXPECT_NEAR(traceDistance(scene, origin, {0, 1, 0}), 3.8, 1e-9);
    EXPECT_NEAR(traceDistance(scene, origin, {0, -1, 0}), 3.0, 1e-9);
    EXPECT_NEAR(traceDistance(scene, origin, {0, 0, 1}), 1.5, 1e-9);   // floor, z down
    EXPECT_NEAR(traceDistance(scene, origin, {0, 0, -1}), 1.2, 1e-9);  // ceiling
    // Slanted ray to the floor from an offset origin.
    const cv::Vec3d from(0.05, 0.0, 0.003);
    EXPECT_NEAR(traceDistance(scene, from, {1, 0, 1}), (1.5 - 0.003) * std::sqrt(2.0), 1e-9);
}

TEST(SimScene, NearObjectsStandOnTheSeamsAtKnownDistances)
{
    const Scene& scene = sceneWithObjects();
    ASSERT_EQ(scene.objects().size(), 5u);
    const cv::Vec3d origin(0, 0, 0);
    int object = -1;
    // Cylinder of radius 0.25 with its axis 1.25 m out at azimuth 45 degrees.
    EXPECT_NEAR(traceDistance(scene, origin, horizontal(45.0), &object), 1.0, 1e-9);
    EXPECT_EQ(scene.objects()[object]->name(), "cylinder");
    // It reaches 0.55 m above the rig centre: just under the rim it is hit, just over
    // it the ray goes on to the ceiling.
    const cv::Vec3d underRim = 1.0 * horizontal(45.0) + cv::Vec3d(0, 0, -0.545);
    EXPECT_NEAR(traceDistance(scene, origin, underRim), cv::norm(underRim), 1e-9);
    const cv::Vec3d overRim = 1.0 * horizontal(45.0) + cv::Vec3d(0, 0, -0.555);
    EXPECT_GT(traceDistance(scene, origin, overRim), 2.0);
    // Cylinder of radius 0.3 at 1.85 m, azimuth -135.
    EXPECT_NEAR(traceDistance(scene, origin, horizontal(-135.0), &object), 1.55, 1e-9);
    EXPECT_EQ(scene.objects()[object]->name(), "cylinder");

    // Block at azimuth -45, 1.15 m out, half length 0.22 along its axis turned -30 degrees:
    // aim at the middle of the face that looks back towards the rig.
    const double yaw = -30.0 * kDeg;
    const cv::Vec3d centre = 1.15 * horizontal(-45.0);
    const cv::Vec3d faceMiddle = centre - 0.22 * cv::Vec3d(std::cos(yaw), std::sin(yaw), 0.0);
    EXPECT_NEAR(traceDistance(scene, origin, faceMiddle, &object), cv::norm(faceMiddle), 1e-9);
    EXPECT_EQ(scene.objects()[object]->name(), "block");
    // From a camera 5 cm out the same point is nearer, by the parallax.
    const cv::Vec3d camera(0.05 * std::cos(-90 * kDeg), 0.05 * std::sin(-90 * kDeg), 0.0);
    EXPECT_NEAR(traceDistance(scene, camera, faceMiddle - camera), cv::norm(faceMiddle - camera), 1e-9);

    // Without the objects the same rays reach the walls.
    const Scene empty = Scene::makeRoom(5, false, 0.05);
    EXPECT_EQ(empty.objects().size(), 1u);
    EXPECT_GT(traceDistance(empty, origin, horizontal(45.0)), 2.5);
    EXPECT_GT(traceDistance(empty, origin, faceMiddle), 2.5);
}

TEST(SimScene, EveryRayFromInsideHitsTexturedSurface)
{
    const Scene& scene = sceneWithObjects();
    cv::RNG rng(1);
    for (int i = 0; i < 2000; ++i) {
        cv::Vec3d dir(rng.gaussian(1.0), rng.gaussian(1.0), rng.gaussian(1.0));
        dir = cv::normalize(dir);
        SceneHit hit;
        ASSERT_TRUE(scene.trace(cv::Vec3d(0.0, 0.05, 0.0), dir, hit));
        EXPECT_GT(hit.distance, 0.7);
        EXPECT_LT(hit.distance, 6.5);  // farthest room corner
        for (int c = 0; c < 3; ++c) {
            // Never pure black: a 3-channel panorama uses black for "not covered".
            EXPECT_GE(hit.colour[c], 0.02f);
            EXPECT_LE(hit.colour[c], 1.0f);
        }
    }
}

TEST(SimScene, TextureFollowsTheSeedAndHasFineDetail)
{
    const Scene a = Scene::makeRoom(1, true, 0.008);
    const Scene b = Scene::makeRoom(1, true, 0.008);
    const Scene c = Scene::makeRoom(2, true, 0.008);
    // March along a horizontal line on the front wall, 1 cm apart.
    double sameSeed = 0.0, otherSeed = 0.0, neighbour = 0.0;
    cv::Vec3f previous;
    for (int i = 0; i < 300; ++i) {
        const cv::Vec3d target(4.5, -1.5 + 0.01 * i, 0.3);
        SceneHit ha, hb, hc;
        ASSERT_TRUE(a.trace({0, 0, 0}, cv::normalize(target), ha));
        ASSERT_TRUE(b.trace({0, 0, 0}, cv::normalize(target), hb));
        ASSERT_TRUE(c.trace({0, 0, 0}, cv::normalize(target), hc));
        sameSeed += cv::norm(ha.colour - hb.colour);
        otherSeed += cv::norm(ha.colour - hc.colour);
        if (i > 0)
            neighbour += cv::norm(ha.colour - previous);
        previous = ha.colour;
    }
    EXPECT_EQ(sameSeed, 0.0);
    EXPECT_GT(otherSeed / 300, 0.05);
    // Flat colour would hide stitching faults: neighbouring centimetres must differ.
    EXPECT_GT(neighbour / 299, 0.02);
}

TEST(SimScene, TurnedNearObjectsMoveAboutTheRigAxisWithTheirTextureAndTheRoomStays)
{
    const Scene turned = Scene::makeRoom(5, true, 0.05, 30.0);
    const Scene& still = sceneWithObjects();
    const cv::Vec3d origin(0, 0, 0);
    // The cylinder at 45 degrees now stands at 75, the one at -135 at -105, at the same
    // distances; the same surface point shows the same colour.
    for (const double azimuth : {45.0, -135.0}) {
        for (const double up : {0.0, -0.3}) {
            SceneHit before, after;
            const cv::Vec3d dir0 = cv::normalize(horizontal(azimuth) + cv::Vec3d(0, 0, up));
            const cv::Vec3d dir1 = cv::normalize(horizontal(azimuth + 30.0) + cv::Vec3d(0, 0, up));
            ASSERT_TRUE(still.trace(origin, dir0, before));
            ASSERT_TRUE(turned.trace(origin, dir1, after));
            EXPECT_EQ(after.object, before.object);
            EXPECT_NEAR(after.distance, before.distance, 1e-9);
            EXPECT_EQ(after.face, before.face);
            EXPECT_LT(cv::norm(after.colour - before.colour), 1e-6);
        }
        // Where it stood, the ray now passes on to something farther.
        EXPECT_GT(traceDistance(turned, origin, horizontal(azimuth)), traceDistance(still, origin, horizontal(azimuth)) + 0.5);
    }
    // The room does not turn: straight up, down and at a wall between the objects.
    for (const cv::Vec3d& towards : {cv::Vec3d(0, 0, 1), cv::Vec3d(0, 0, -1), cv::Vec3d(-1, 0, 0)}) {
        SceneHit a, b;
        ASSERT_TRUE(still.trace(origin, towards, a));
        ASSERT_TRUE(turned.trace(origin, towards, b));
        EXPECT_EQ(a.object, 0);
        EXPECT_EQ(b.object, 0);
        EXPECT_EQ(a.distance, b.distance);
        EXPECT_EQ(a.colour, b.colour);
    }
    // Turning from a camera off the centre: a ray turned with the scene meets it alike.
    const cv::Vec3d camera(0.05, 0.0, 0.0);
    const double turn = 30.0 * kDeg;
    const cv::Matx33d rz(std::cos(turn), -std::sin(turn), 0, std::sin(turn), std::cos(turn), 0, 0, 0, 1);
    SceneHit a, b;
    ASSERT_TRUE(still.trace(camera, cv::normalize(horizontal(50.0)), a));
    ASSERT_TRUE(turned.trace(rz * camera, rz * cv::normalize(horizontal(50.0)), b));
    EXPECT_EQ(b.object, a.object);
    EXPECT_NEAR(b.distance, a.distance, 1e-9);
}
