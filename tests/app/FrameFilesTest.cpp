#include "app/FrameFiles.h"

#include <gtest/gtest.h>

TEST(FrameFiles, NamesFollowTheFrameNumberPattern)
{
    EXPECT_EQ(FrameFiles::cameraImagePath(".", ".png", 0, 1).string(), "./0000000000-1.png");
    EXPECT_EQ(FrameFiles::cameraImagePath("/data/run", ".jpg", 42, 4).string(), "/data/run/0000000042-4.jpg");
    EXPECT_EQ(FrameFiles::panoramaPath("/data/run", ".jpg", 42).string(), "/data/run/0000000042.jpg");
    // The largest frame number fills the ten digits exactly.
    EXPECT_EQ(FrameFiles::cameraImagePath("d", ".png", 4294967295u, 1).string(), "d/4294967295-1.png");
}

TEST(FrameFiles, DirectoryJoiningAndVerbatimExtension)
{
    // A trailing separator gives the same path; an empty directory leaves the bare name.
    EXPECT_EQ(FrameFiles::panoramaPath("/data/run/", ".png", 7).string(), "/data/run/0000000007.png");
    EXPECT_EQ(FrameFiles::panoramaPath("", ".png", 7).string(), "0000000007.png");
    // An extension without its dot is appended as given.
    EXPECT_EQ(FrameFiles::cameraImagePath("d", "jpg", 42, 1).string(), "d/0000000042-1jpg");
}

TEST(FrameFiles, TemporaryPanoramaKeepsTheExtensionAndDirectory)
{
    const auto tmp = FrameFiles::temporaryPanoramaPath("/data/run", ".png", 42, 1234);
    EXPECT_EQ(tmp.parent_path().string(), "/data/run");
    EXPECT_EQ(tmp.extension().string(), ".png");
    EXPECT_NE(tmp, FrameFiles::panoramaPath("/data/run", ".png", 42));
}
