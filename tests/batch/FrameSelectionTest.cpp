#include "BatchRunner.h"
#include "FrameSelection.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

#include <map>
#include <stdexcept>

using namespace batch;

TEST(FrameSelection, SpecsAndShardsParseOrNameTheText)
{
    EXPECT_TRUE(parseFrameChoice("all").all);
    const FrameChoice one = parseFrameChoice("42");
    EXPECT_FALSE(one.all);
    EXPECT_EQ(one.first, 42u);
    EXPECT_EQ(one.last, 42u);
    const FrameChoice range = parseFrameChoice("7-4294967295");
    EXPECT_EQ(range.first, 7u);
    EXPECT_EQ(range.last, 4294967295u);
    // Negative numbers must not wrap round, and nothing half-parsed is accepted.
    for (const char* bad : {"-1", "4294967296", "3-2", "1-", "-", "", "1,2", " 1", "1e3", "all-3"}) {
        try {
            parseFrameChoice(bad);
            ADD_FAILURE() << "accepted --frames '" << bad << "'";
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find("--frames '" + std::string(bad) + "'"), std::string::npos);
        }
    }
    EXPECT_EQ(parseShard("2/3").index, 2u);
    EXPECT_EQ(parseShard("2/3").count, 3u);
    for (const char* bad : {"0/2", "3/2", "1/0", "1", "/2", "1/-2", "a/b", "1/2/3"})
        EXPECT_THROW(parseShard(bad), std::invalid_argument) << bad;
}

TEST(FrameSelection, ShardsCoverEveryFrameExactlyOnceInBlocks)
{
    for (std::size_t n : {0u, 1u, 5u, 17u, 1800u}) {
        std::vector<std::uint32_t> frames;
        for (std::size_t i = 0; i < n; ++i)
            frames.push_back(static_cast<std::uint32_t>(3 * i + 10)); // gaps in the numbering
        for (unsigned count : {1u, 2u, 3u, 7u, 40u}) {
            std::map<std::uint32_t, int> seen;
            std::size_t largest = 0, smallest = n;
            for (unsigned k = 1; k <= count; ++k) {
                const std::vector<std::uint32_t> share = shardFrames(frames, Shard{k, count});
                largest = std::max(largest, share.size());
                smallest = std::min(smallest, share.size());
                for (std::size_t i = 1; i < share.size(); ++i) // contiguous in the list
                    EXPECT_EQ(share[i] - share[i - 1], 3u);
                for (std::uint32_t f : share)
                    ++seen[f];
            }
            EXPECT_EQ(seen.size(), n) << n << " frames in " << count << " shards";
            for (const auto& entry : seen)
                EXPECT_EQ(entry.second, 1) << "frame " << entry.first;
            EXPECT_LE(largest - smallest, 1u) << "shares should be balanced";
        }
    }
}

TEST(FrameSelection, RangesSelectExistingFramesAndASingleFrameAlways)
{
    const std::vector<std::uint32_t> discovered{1, 2, 5, 9};
    EXPECT_EQ(selectFrames(parseFrameChoice("all"), discovered), discovered);
    EXPECT_EQ(selectFrames(parseFrameChoice("2-6"), discovered), (std::vector<std::uint32_t>{2, 5}));
    EXPECT_EQ(selectFrames(parseFrameChoice("0-4294967295"), discovered), discovered);
    // Asked for by number, a missing frame is stitched and fails with its reason.
    EXPECT_EQ(selectFrames(parseFrameChoice("3"), discovered), (std::vector<std::uint32_t>{3}));
}

TEST(FrameSelection, FramesInFlightNeverExceedTheMemory)
{
    const std::uint64_t gib = 1ull << 30;
    EXPECT_EQ(framesInFlight(0, 2, 24 * gib, 3 * gib), 2u);  // the cores
    EXPECT_EQ(framesInFlight(8, 2, 24 * gib, 3 * gib), 8u);  // asked for, and it fits
    EXPECT_EQ(framesInFlight(16, 2, 24 * gib, 3 * gib), 8u); // memory caps the request
    EXPECT_EQ(framesInFlight(0, 64, 4 * gib, 3 * gib), 1u);
    EXPECT_EQ(framesInFlight(4, 2, 1 * gib, 3 * gib), 1u);   // never fewer than one
    BatchOptions full;
    BatchOptions fast;
    fast.fastStitch = true;
    EXPECT_GT(bytesPerFrame(full), gib);
    BatchOptions best;
    best.quality = "best";
    EXPECT_GE(bytesPerFrame(best), bytesPerFrame(full));
    EXPECT_LT(bytesPerFrame(fast), bytesPerFrame(full));
    fast.fastStitchHeight = 20000; // a huge fast stitch needs more than a full one
    EXPECT_GT(bytesPerFrame(fast), bytesPerFrame(full));
}

TEST(FrameSelection, EveryPlaneIsReusedOnlyWithMemoryToSpareAndFramesToReuseItFor)
{
    const std::uint64_t gib = 1ull << 30;
    const std::uint64_t frame = bytesPerFrame(BatchOptions());
    const PlaneReuse roomy = planeReuse(2, 24, 24 * gib, frame);
    EXPECT_TRUE(roomy.everyLargeMatrix);
    // What is kept and what a frame needs still fit in the memory.
    EXPECT_LE(2 * frame + roomy.bytes, 24 * gib);
    EXPECT_FALSE(planeReuse(2, 2, 24 * gib, frame).everyLargeMatrix); // one frame per worker
    // Short takes: too few frames per worker to repay faulting in every plane.
    for (std::size_t frames : {3, 5, 7})
        EXPECT_FALSE(planeReuse(2, frames, 24 * gib, frame).everyLargeMatrix) << frames;
    EXPECT_TRUE(planeReuse(2, 8, 24 * gib, frame).everyLargeMatrix);
    const PlaneReuse tight = planeReuse(2, 24, 2 * frame + gib, frame);
    EXPECT_FALSE(tight.everyLargeMatrix);
    EXPECT_LE(tight.bytes, gib);
}

TEST(FrameSelection, AOneFrameTakeRunsAsALoneStitch)
{
    const std::uint64_t gib = 1ull << 30;
    const std::uint64_t frame = bytesPerFrame(BatchOptions());
    // One frame, whatever was asked: the library's pool, no memory kept, its own maps.
    for (unsigned asked : {0u, 4u}) {
        const TakePlan one = planTake(asked, 2, 1, 24 * gib, frame);
        EXPECT_TRUE(one.jobs == 1 && !one.corePool && !one.keepFreedMemory && !one.sharedFastMaps) << asked;
    }
    // One frame per worker: side by side on shared maps, written planes kept within
    // each frame, no next frame to keep every plane or to write behind for.
    const TakePlan pair = planTake(0, 2, 2, 24 * gib, frame);
    EXPECT_TRUE(pair.jobs == 2 && pair.corePool && pair.sharedFastMaps && pair.keepFreedMemory);
    EXPECT_FALSE(pair.planes.everyLargeMatrix || pair.writeBehind);
    // One worker through many frames keeps every plane, on the library's pool.
    const TakePlan serial = planTake(1, 2, 24, 24 * gib, frame);
    EXPECT_TRUE(!serial.corePool && serial.writeBehind && serial.planes.everyLargeMatrix);
}

TEST(FrameSelection, OrderedChunksSplitTheTakeIntoContiguousRuns)
{
    for (std::size_t frames : {0u, 1u, 5u, 9u}) {
        for (unsigned workers : {1u, 2u, 4u}) {
            std::size_t expectedBegin = 0;
            for (unsigned w = 0; w < workers; ++w) {
                const auto chunk = orderedChunk(frames, w, workers);
                EXPECT_EQ(chunk.first, expectedBegin) << frames << " frames, worker " << w << " of " << workers;
                EXPECT_LE(chunk.second - chunk.first, frames / workers + 1);
                expectedBegin = chunk.second;
            }
            EXPECT_EQ(expectedBegin, frames);
        }
    }
}

namespace {

// A folder holding empty files of the given names.
std::string folderWith(const std::string& name, const std::vector<std::string>& files)
{
    const std::filesystem::path dir =
        std::filesystem::path(QUADSTITCH_TEST_TMP) / ("names-" + name + "-" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    for (const std::string& file : files)
        std::ofstream(dir / file) << "";
    return dir.string();
}

std::vector<std::string> take(const std::string& pattern, int frames, int firstCamera)
{
    std::vector<std::string> names;
    char name[64];
    for (int f = 0; f < frames; ++f) {
        for (int c = firstCamera; c < firstCamera + 4; ++c) {
            std::snprintf(name, sizeof name, pattern.c_str(), f, c);
            names.push_back(name);
        }
    }
    return names;
}

} // namespace

TEST(FrameSelection, NamingMistakesAreToldByWhatIsThereInstead)
{
    std::size_t complete = 7;
    const std::string jpg = folderWith("jpg", take("%010d-%d.jpg", 12, 1));
    EXPECT_TRUE(discoverFrames(jpg, ".png", 4, &complete).empty());
    EXPECT_EQ(complete, 0u);
    EXPECT_EQ(namingHint(jpg, ".png", 4), "found 48 files like 0000000000-1.jpg: use -i .jpg");
    EXPECT_EQ(namingHint(jpg, ".JPG", 4), "found 48 files like 0000000000-1.jpg: use -i .jpg (names are case-sensitive)");
    EXPECT_EQ(namingHint(folderWith("unpadded", take("%d-%d.png", 3, 1)), ".png", 4),
              "found 12 files like 0-1.png: frame numbers in the names need 10 digits, as in 0000000000-1.png");
    const std::string fromZero = folderWith("zero", take("%010d-%d.png", 2, 0));
    EXPECT_EQ(discoverFrames(fromZero, ".png", 4, &complete).size(), 2u);
    EXPECT_EQ(complete, 0u) << "camera 4 is missing from every frame";
    EXPECT_EQ(namingHint(fromZero, ".png", 4), "camera numbers run 1 to 4; found 0 (2 files like 0000000000-0.png)");
    // Nothing that looks like a camera image, and a good take: no advice.
    EXPECT_EQ(namingHint(folderWith("other", {"notes.txt", "calibration.yaml", "12.png"}), ".png", 4), "");
    const std::string good = folderWith("good", take("%010d-%d.png", 2, 1));
    EXPECT_EQ(namingHint(good, ".png", 4), "");
    EXPECT_EQ(discoverFrames(good, ".png", 4, &complete).size(), 2u);
    EXPECT_EQ(complete, 2u);

    EXPECT_EQ(normalisedExtension("jpg"), ".jpg");
    EXPECT_EQ(normalisedExtension(".jpg"), ".jpg");
    EXPECT_EQ(normalisedExtension(""), "");
}

TEST(FrameSelection, ARunFindsTheFramesBeforeItInTheWholeTake)
{
    // A take with a gap (frame 4 missing); a shard of a range; a single frame asked
    // for that does not exist takes its place in order.
    const std::vector<std::uint32_t> discovered{1, 2, 3, 5, 6, 9};
    const std::vector<std::uint32_t> shard = shardFrames(selectFrames(parseFrameChoice("3-9"), discovered), Shard{2, 2});
    ASSERT_EQ(shard, (std::vector<std::uint32_t>{6, 9}));
    const std::vector<std::uint32_t> order = takeOrder(shard, discovered);
    EXPECT_EQ(order, discovered);
    // The frames before the shard's first come from the take, not from the range.
    EXPECT_EQ(positionsIn(shard, order), (std::vector<std::size_t>{4, 5}));

    const std::vector<std::uint32_t> asked{4};
    const std::vector<std::uint32_t> withAsked = takeOrder(asked, discovered);
    EXPECT_EQ(withAsked, (std::vector<std::uint32_t>{1, 2, 3, 4, 5, 6, 9}));
    EXPECT_EQ(positionsIn(asked, withAsked), (std::vector<std::size_t>{3}));
    EXPECT_THROW(positionsIn({7}, discovered), std::logic_error);
}
