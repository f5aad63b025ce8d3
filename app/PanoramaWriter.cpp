#include "app/PanoramaWriter.h"

#include "app/PanoramaEncoder.h"

#include <boost/filesystem/operations.hpp>
#include <opencv2/imgcodecs.hpp>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <unistd.h>

namespace fs = boost::filesystem;

namespace {

// Registry of in-flight temporary files, read by the signal handler. Only
// lock-free atomics and fixed storage: the handler may run on any thread at any time.
constexpr int kSlots = 256;
constexpr std::size_t kPathBytes = 4096;
enum SlotState : int { kFree = 0, kFilling = 1, kArmed = 2 };

struct Slot {
    std::atomic<int> state{kFree};
    char path[kPathBytes];
};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs lock-free atomics");

Slot slots[kSlots];
const int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction previousActions[3];

extern "C" void removeTemporariesAndResignal(int signal)
{
    const int savedErrno = errno;
    for (Slot& slot : slots) {
        if (slot.state.load(std::memory_order_acquire) == kArmed)
            ::unlink(slot.path);
    }
    // End the process as the signal would have without us: restore what was there
    // (default action, or a handler of the caller's) and deliver it again once this
    // handler returns, since it is blocked meanwhile.
    for (int i = 0; i < 3; ++i) {
        if (kSignals[i] == signal)
            ::sigaction(signal, &previousActions[i], nullptr);
    }
    ::raise(signal);
    errno = savedErrno;
}

// Puts the handler in place wherever it is not, keeping what was there to pass the
// signal on to. Run for each guard, so that a disposition set after the first
// guard (a caller's handler) is chained too rather than silently replacing ours.
void armHandlers()
{
    static std::mutex mutex;
    const std::lock_guard<std::mutex> lock(mutex);
    for (int i = 0; i < 3; ++i) {
        struct sigaction current {};
        ::sigaction(kSignals[i], nullptr, &current);
        if (!(current.sa_flags & SA_SIGINFO) && current.sa_handler == removeTemporariesAndResignal)
            continue;
        // A signal ignored on purpose (nohup) must stay ignored.
        if (!(current.sa_flags & SA_SIGINFO) && current.sa_handler == SIG_IGN)
            continue;
        previousActions[i] = current;
        struct sigaction action {};
        action.sa_handler = removeTemporariesAndResignal;
        sigfillset(&action.sa_mask);
        ::sigaction(kSignals[i], &action, nullptr);
    }
}

std::string errnoText(int error) { return std::strerror(error); }

[[noreturn]] void fail(const fs::path& destination, const std::string& reason)
{
    throw std::runtime_error("Could not write panorama '" + destination.string() + "': " + reason);
}

// Removes temporaries of this stem and extension whose writing process is gone.
void removeStaleTemporaries(const fs::path& temporary)
{
    const std::string name = temporary.filename().string();
    const std::string marker = ".partial-";
    const std::size_t at = name.find(marker);
    if (name.empty() || name[0] != '.' || at == std::string::npos)
        return;
    const std::string prefix = name.substr(0, at + marker.size());
    const std::string extension = temporary.extension().string();
    const fs::path directory = temporary.has_parent_path() ? temporary.parent_path() : fs::path(".");
    boost::system::error_code ec;
    for (fs::directory_iterator it(directory, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string candidate = it->path().filename().string();
        if (candidate.size() <= prefix.size() + extension.size() || candidate.compare(0, prefix.size(), prefix) != 0 ||
            candidate.compare(candidate.size() - extension.size(), extension.size(), extension) != 0)
            continue;
        const std::string digits =
            candidate.substr(prefix.size(), candidate.size() - prefix.size() - extension.size());
        if (digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos)
            continue;
        const long pid = std::stol(digits);
        // EPERM means the process exists under another user: leave its file alone.
        if (pid > 0 && pid != static_cast<long>(::getpid()) && ::kill(static_cast<pid_t>(pid), 0) != 0 &&
            errno == ESRCH) {
            boost::system::error_code ignored;
            fs::remove(it->path(), ignored);
        }
    }
}

class File {
public:
    explicit File(int fd) : fd_(fd) {}
    ~File()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    int get() const { return fd_; }
    // Closes now, so that a failing close can be reported.
    int close()
    {
        const int result = ::close(fd_);
        fd_ = -1;
        return result;
    }

private:
    int fd_;
};

// Makes the rename itself durable; file systems that cannot sync a directory say EINVAL.
void syncDirectory(const fs::path& directory)
{
    const File dir(::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0)
        ::fsync(dir.get());
}

} // namespace

TemporaryFileGuard::TemporaryFileGuard(const fs::path& path) : slot_(-1)
{
    armHandlers();
    const std::string& text = path.string();
    if (text.size() >= kPathBytes)
        return;
    for (int i = 0; i < kSlots; ++i) {
        int expected = kFree;
        if (slots[i].state.compare_exchange_strong(expected, kFilling, std::memory_order_acq_rel)) {
            std::memcpy(slots[i].path, text.c_str(), text.size() + 1);
            slots[i].state.store(kArmed, std::memory_order_release);
            slot_ = i;
            return;
        }
    }
}

TemporaryFileGuard::~TemporaryFileGuard()
{
    if (slot_ >= 0)
        slots[slot_].state.store(kFree, std::memory_order_release);
}

// encodePanorama is defined in app/PanoramaEncoder.cpp: PNG in parallel bands,
// every other format through the library's encoder, with the same errors.

void checkPanoramaEncodable(const fs::path& destination, int channels)
{
    const std::string extension = destination.extension().string();
    if (!cv::haveImageWriter(destination.string()))
        fail(destination, "no image encoder for the extension '" + extension + "'");
    // A tiny image shows whether the format can hold this many channels.
    try {
        encodePanorama(cv::Mat(2, 2, CV_8UC(channels), cv::Scalar::all(0)), extension);
    } catch (const std::runtime_error&) {
        fail(destination, "the '" + extension + "' format cannot hold an image of " + std::to_string(channels) +
                              " channels");
    }
}

void writeAllBytes(int fd, const std::vector<uchar>& bytes, const std::string& path)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw std::runtime_error("cannot write '" + path + "': " + errnoText(errno));
        }
        done += static_cast<std::size_t>(n);
    }
}

void StreamingFileSink::operator()(const std::vector<uchar>& bytes)
{
    writeAllBytes(fd_, bytes, path_);
#ifdef SYNC_FILE_RANGE_WRITE
    ::sync_file_range(fd_, written_, static_cast<off_t>(bytes.size()), SYNC_FILE_RANGE_WRITE);
#endif
    written_ += static_cast<off_t>(bytes.size());
}

void encodePanoramaTo(const cv::Mat& panorama, const std::string& extension, const std::vector<uchar>& afterHeader,
                      const PanoramaSink& write)
{
    if (afterHeader.empty()) {
        encodePanoramaTo(panorama, extension, write);
        return;
    }
    // The banded encoder hands the PNG's signature and image header over as its first
    // piece; the library's encoder (other depths) hands over the whole file, which is
    // split there.
    bool first = true;
    encodePanoramaTo(panorama, extension, [&](const std::vector<uchar>& bytes) {
        if (!first) {
            write(bytes);
            return;
        }
        first = false;
        if (!startsWithPngHeader(bytes.data(), bytes.size()))
            throw std::invalid_argument("encodePanoramaTo: chunks to insert after the image header of a '" +
                                        extension + "' file, which is no PNG");
        if (bytes.size() == kPngHeaderBytes) {
            write(bytes);
        } else {
            write(std::vector<uchar>(bytes.begin(), bytes.begin() + kPngHeaderBytes));
        }
        write(afterHeader);
        if (bytes.size() > kPngHeaderBytes)
            write(std::vector<uchar>(bytes.begin() + kPngHeaderBytes, bytes.end()));
    });
}

void writePanoramaAtomically(const cv::Mat& panorama, const fs::path& destination, const fs::path& temporary)
{
    if (panorama.empty())
        fail(destination, "the image is empty");
    removeStaleTemporaries(temporary);

    const TemporaryFileGuard guard(temporary);
    try {
        File file(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
        if (file.get() < 0)
            fail(destination, "cannot create '" + temporary.string() + "': " + errnoText(errno));
        // The bytes are written as the encoder makes them ready.
        StreamingFileSink sink(file.get(), temporary.string());
        try {
            encodePanoramaTo(panorama, destination.extension().string(), std::ref(sink));
        } catch (const std::runtime_error& e) {
            fail(destination, e.what());
        }
        if (::fsync(file.get()) != 0)
            fail(destination, "cannot flush '" + temporary.string() + "' to disk: " + errnoText(errno));
        if (file.close() != 0)
            fail(destination, "cannot close '" + temporary.string() + "': " + errnoText(errno));
        if (::rename(temporary.c_str(), destination.c_str()) != 0)
            fail(destination, "cannot rename '" + temporary.string() + "' to it: " + errnoText(errno));
    } catch (...) {
        ::unlink(temporary.c_str());
        throw;
    }
    syncDirectory(destination.parent_path());
}
