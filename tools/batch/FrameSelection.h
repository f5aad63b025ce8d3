#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace batch {

// Which frames of a take to stitch: "all", "N" or "A-B" (inclusive).
struct FrameChoice {
    bool all = true;
    std::uint32_t first = 0;
    std::uint32_t last = 0;
};

// One of N disjoint shares of a take, K from 1 to N.
struct Shard {
    unsigned index = 1;
    unsigned count = 1;
};

// Both throw std::invalid_argument with a message that quotes the text.
FrameChoice parseFrameChoice(const std::string& text);
Shard parseShard(const std::string& text);

// Frame numbers (ascending) for which at least one of the `cameraCount` camera images
// %010d-<camera><extension> exists in `directory`. A frame missing some of its
// images is listed too: stitching it fails and names the missing file, rather than
// the frame vanishing from the take and leaving a hole in the panorama sequence.
// `complete`, when given, receives how many of them have all their images.
std::vector<std::uint32_t> discoverFrames(const std::string& directory, const std::string& extension,
                                          int cameraCount, std::size_t* complete = nullptr);

// What `directory` holds instead of camera images named %010d-<camera><extension>,
// as advice to append to an error: files of another extension ("found 48 files like
// 0000000001-1.jpg: use -i .jpg"), frame numbers without their 10 digits, camera
// numbers outside 1 to `cameraCount`. Empty when nothing there looks like one.
std::string namingHint(const std::string& directory, const std::string& extension, int cameraCount);

// The image file extension as the tools take it: "jpg" means ".jpg".
std::string normalisedExtension(const std::string& extension);

// The frames the choice names, in ascending order: the discovered frames, or those of
// them inside a range. A single frame number is selected whether or not its images
// exist, so that asking for a missing frame fails with the reason.
std::vector<std::uint32_t> selectFrames(const FrameChoice& choice, const std::vector<std::uint32_t>& discovered);

// The shard's contiguous block of the sorted frame list: shards 1..N together cover
// every frame exactly once, and the split depends only on the list. Contiguous blocks
// keep neighbouring frames together for stitching that looks at the previous frame.
std::vector<std::uint32_t> shardFrames(const std::vector<std::uint32_t>& frames, const Shard& shard);

// The take's frames in order: the discovered frames and any selected one that was not
// discovered (a single frame asked for by number). A run that starts inside the take
// takes the frames before its first from here.
std::vector<std::uint32_t> takeOrder(const std::vector<std::uint32_t>& selected,
                                     const std::vector<std::uint32_t>& discovered);

// Where each of `frames` stands in `order` (both ascending, every frame in order).
std::vector<std::size_t> positionsIn(const std::vector<std::uint32_t>& frames,
                                     const std::vector<std::uint32_t>& order);

} // namespace batch
