#include "sync/CameraOffsets.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

using namespace orb::sync;

TEST(CameraOffsets, ParsedInFramesOrMillisecondsRelativeToCameraOne)
{
    const CameraOffsets f = parseOffsets("5,17,-3.5,5", 30.0);
    EXPECT_EQ(f.frames, (std::vector<double>{0.0, 12.0, -8.5, 0.0}));
    EXPECT_DOUBLE_EQ(f.milliseconds(1), 400.0);
    const CameraOffsets ms = parseOffsets("0,400ms,-100ms,2", 30.0);
    EXPECT_DOUBLE_EQ(ms.frames[1], 12.0);
    EXPECT_DOUBLE_EQ(ms.frames[2], -3.0);
    EXPECT_DOUBLE_EQ(ms.frames[3], 2.0);
    // What is printed is taken back as it was meant (half frames round away from zero).
    CameraOffsets found;
    found.frameRate = 25.0;
    found.frames = {0.0, 12.4, -7.5, 29.51};
    EXPECT_EQ(formatOffsetsOption(found), "0,12,-8,30");
    EXPECT_EQ(parseOffsets(formatOffsetsOption(found), 25.0).wholeFrames(), found.wholeFrames());
    EXPECT_NE(describeOffsets(found, "audio").find("--offsets 0,12,-8,30"), std::string::npos);

    for (const char* bad : {"", "1,2,3", "1,2,3,4,5", "1,,3,4", "a,b,c,d", "1,2,3,4x", "1, 2,3,4", "1,2,nan,4",
                            "1,2,inf,4", "0,ms,1,2"}) {
        try {
            parseOffsets(bad, 30.0);
            ADD_FAILURE() << "accepted --offsets '" << bad << "'";
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find("--offsets: '" + std::string(bad) + "'"), std::string::npos)
                << e.what();
        }
    }
    EXPECT_THROW(parseOffsets("0,10ms,0,0", 0.0), std::invalid_argument);
}
