#pragma once

#include "app/PanoramaEncoder.h"

#include <boost/filesystem/path.hpp>
#include <opencv2/core.hpp>

#include <sys/types.h>

#include <string>
#include <vector>

// Encodes a panorama into the bytes of an image file; the format follows
// `extension` (".png"). The one place the encoder is chosen. Throws
// std::runtime_error when the format has no encoder or cannot hold the image.
std::vector<uchar> encodePanorama(const cv::Mat& panorama, const std::string& extension);

// Throws std::runtime_error naming `destination` unless its extension has an
// encoder that can hold an 8-bit image of `channels` channels; cheap, so that a
// run fails before the stitch rather than after it.
void checkPanoramaEncodable(const boost::filesystem::path& destination, int channels);

// Writes a panorama so that the destination is either the complete new image or
// untouched: the image is encoded, written to `temporary` (same directory), flushed
// to disk and renamed into place; the directory is flushed after the rename. An
// empty matrix is never written. Throws std::runtime_error naming the destination
// and the reason; the temporary file never survives a failure, nor SIGINT, SIGTERM
// or SIGHUP arriving while it exists (from any thread: several panoramas may be
// written at once). When `temporary` is named ".<stem>.partial-<pid><ext>",
// temporaries of the same stem and extension left by processes that no longer
// exist (killed with SIGKILL, say) are removed first.
void writePanoramaAtomically(const cv::Mat& panorama, const boost::filesystem::path& destination,
                             const boost::filesystem::path& temporary);

// Writes all of `bytes` to the open file `fd`, going on after interrupted writes.
// Throws std::runtime_error "cannot write '<path>': <reason>".
void writeAllBytes(int fd, const std::vector<uchar>& bytes, const std::string& path);

// A PanoramaSink writing to the open file `fd`: each piece in full as it comes, and
// the disk asked to start on it at once, so that by the end of the encoding most of
// the file is written and the flush before the rename waits for little. Throws
// writeAllBytes's errors.
class StreamingFileSink {
public:
    StreamingFileSink(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
    void operator()(const std::vector<uchar>& bytes);

private:
    int fd_;
    std::string path_;
    off_t written_ = 0;
};

// encodePanoramaTo, with `afterHeader` (whole chunks: a metadata chunk, say) handed to
// `write` right after a PNG's image header, as a piece of its own; nothing when it is
// empty. Throws std::invalid_argument, before anything is written, when there is
// something to insert and the encoding is no PNG.
void encodePanoramaTo(const cv::Mat& panorama, const std::string& extension, const std::vector<uchar>& afterHeader,
                      const PanoramaSink& write);

// Keeps a file name registered for removal should SIGINT, SIGTERM or SIGHUP end the
// process while the guard lives. Each guard puts the handlers back in place if
// something replaced them (a signal the process ignores stays ignored); after
// removing the files they give the signal to the disposition they replaced. Registering is lock-free and
// safe from any thread; at most 256 names are guarded at once, further ones are not.
class TemporaryFileGuard {
public:
    explicit TemporaryFileGuard(const boost::filesystem::path& path);
    ~TemporaryFileGuard();
    TemporaryFileGuard(const TemporaryFileGuard&) = delete;
    TemporaryFileGuard& operator=(const TemporaryFileGuard&) = delete;

private:
    int slot_;
};
