#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <set>
#include <string>
#include <vector>

namespace batch {

// Writes the panoramas of a take so that a panorama on disk is always complete: the
// bytes go to a hidden temporary file beside it (created anew, never through a link
// planted at its name), are flushed to disk and renamed into place. Writes may run at
// once and are serialised with interruption: once `interrupt` has run, nothing is
// half-written and no further write starts.
//
// Frames are claimed before they are stitched, so that any number of processes (on
// one machine or several sharing the folder) can work on one take: a claim is a
// hidden file per frame, made atomically, naming its host and process; a claim
// whose process is gone on this host is taken over.
class TakeOutput {
public:
    explicit TakeOutput(std::string directory);

    // Hands a file's bytes, piece by piece and in order, to the sink it is given.
    using Producer = std::function<void(const std::function<void(const std::vector<unsigned char>&)>& sink)>;

    // A panorama whose bytes are all in its temporary file, waiting for finish() to
    // flush it and rename it into place. Dropped unfinished, its file is removed.
    class Pending {
    public:
        ~Pending();
        Pending(const Pending&) = delete;
        Pending& operator=(const Pending&) = delete;

    private:
        friend class TakeOutput;
        Pending(TakeOutput& output, int fd, std::string temporary, std::string destination);
        TakeOutput& output_;
        int fd_;
        std::string temporary_;
        std::string destination_;
    };

    // Creates the frame's temporary file and writes into it what `produce` hands its
    // sink, each piece as it comes (a panorama as its bands are compressed), the disk
    // asked to start on each at once. Throws std::runtime_error naming the file and the
    // reason, or what `produce` threw, once the temporary file is removed. Returns null
    // (and writes nothing) once the take is interrupted.
    std::unique_ptr<Pending> stream(std::uint32_t frame, const std::string& format, const Producer& produce);
    // Flushes the file to disk and renames it into place; another thread may finish
    // what one streamed. Throws std::runtime_error naming the file and the reason once
    // the temporary file is removed. Returns false once the take is interrupted (which
    // removed the file).
    bool finish(std::unique_ptr<Pending> pending);
    // stream() then finish().
    bool write(std::uint32_t frame, const std::string& format, const Producer& produce);
    bool write(std::uint32_t frame, const std::string& format, const std::vector<unsigned char>& bytes);

    // Runs `work` (writing a frame's other files) unless the take is interrupted, in
    // which case it returns false; an interruption waits for it to end.
    bool writeOther(const std::function<void()>& work);

    // Removes temporary files (panoramas and overlays) of these frames left by runs
    // whose process is gone (or by this process). Only the given frames: other shards
    // may be writing theirs.
    void removeStaleTemporaries(const std::vector<std::uint32_t>& frames, const std::string& format) const;

    // Claims `frame` for this process. Returns an empty string when claimed, else who
    // holds it ("process 123 on host"). Throws std::runtime_error when the folder
    // takes no claim.
    std::string claim(std::uint32_t frame);
    void release(std::uint32_t frame);
    // Removes the frame's claim if it names this process: made here or by a process
    // forked from this one, which claims in its name and may have ended without
    // giving it back.
    void releaseOwnClaim(std::uint32_t frame);

    // Stops all further writes, waits for one in progress to end (a stream: until the
    // panorama is encoded), removes the temporary files streamed and not finished and
    // drops this process's claims. Holds the lock for good: meant to be followed by the exit.
    void interrupt();

    // Whether the panorama is there whole: a regular file that starts and ends as
    // its format does (a TIFF, which has no end marker, must decode).
    bool panoramaComplete(std::uint32_t frame, const std::string& format) const;
    // Whether the frame's overlays are all there: the description written last and
    // every picture it names.
    bool overlaysComplete(std::uint32_t frame) const;

    std::string panoramaPath(std::uint32_t frame, const std::string& format) const;
    std::string temporaryPath(std::uint32_t frame, const std::string& format, long pid) const;
    std::string claimPath(std::uint32_t frame) const;

private:
    std::string directory_;
    // Writes share `writes_` (several frames' files are written and flushed at once);
    // an interruption takes it whole. Claims have `mutex_` of their own, so that a
    // frame is claimed while another's panorama is being flushed to disk.
    std::shared_mutex writes_;
    bool interrupted_ = false; // set under writes_ held whole
    // Temporary files streamed and not yet finished, which an interruption removes.
    std::mutex pendingMutex_;
    std::set<std::string> pending_;
    std::mutex mutex_;
    std::set<std::uint32_t> claims_;
    std::string owner_; // "<pid> <host>", as claims record it
};

// Writes `bytes` to `path` as a panorama is written: a new temporary file beside it
// (O_EXCL, so never through a planted link), flushed to disk, renamed into place.
// Throws std::runtime_error naming `what` and `path` with the reason.
void writeFileAtomically(const std::string& path, const std::string& bytes, const std::string& what);

} // namespace batch
