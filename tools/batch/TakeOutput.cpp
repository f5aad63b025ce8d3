#include "TakeOutput.h"

#include "app/PanoramaWriter.h"

#include <opencv2/imgcodecs.hpp>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace batch {

namespace {

namespace fs = std::filesystem;

std::string stem(std::uint32_t frame)
{
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%010u", frame);
    return buffer;
}

std::string errnoText(int error) { return std::strerror(error); }

bool processGone(long pid)
{
    return pid <= 0 || (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH);
}

bool allDigits(const std::string& text, std::size_t most)
{
    return !text.empty() && text.size() <= most && text.find_first_not_of("0123456789") == std::string::npos;
}

// A regular file's first and last bytes (up to `count` each), without following a
// link or blocking on a FIFO. False if it is no regular file or cannot be read.
bool fileEnds(const std::string& path, std::size_t count, std::string& head, std::string& tail, off_t& size)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat info {};
    bool ok = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    size = info.st_size;
    if (ok) {
        const std::size_t n = std::min<std::size_t>(count, static_cast<std::size_t>(info.st_size));
        head.assign(n, '\0');
        tail.assign(n, '\0');
        ok = ::pread(fd, &head[0], n, 0) == static_cast<ssize_t>(n) &&
             ::pread(fd, &tail[0], n, info.st_size - static_cast<off_t>(n)) == static_cast<ssize_t>(n);
    }
    ::close(fd);
    return ok;
}

// Small text files (claims, overlay descriptions), read without following links.
bool readSmallFile(const std::string& path, std::size_t most, std::string& text)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat info {};
    bool ok = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && static_cast<std::size_t>(info.st_size) <= most;
    if (ok) {
        text.assign(static_cast<std::size_t>(info.st_size), '\0');
        ok = ::pread(fd, &text[0], text.size(), 0) == static_cast<ssize_t>(text.size());
    }
    ::close(fd);
    return ok;
}

// Creates `path` anew for writing. A file or link already there (a stale temporary of
// a process with this id, or one planted) is removed, never written through.
int createFresh(const std::string& path, mode_t mode)
{
    for (int attempt = 0; attempt < 2; ++attempt) {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EEXIST)
            return fd;
        ::unlink(path.c_str());
    }
    errno = EEXIST;
    return -1;
}

void syncDirectory(const std::string& directory)
{
    const int dir = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
}

std::string hostName()
{
    char name[256] = "";
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0')
        return "localhost";
    std::string host(name);
    for (char& c : host) {
        if (c == ' ' || c == '\n')
            c = '_';
    }
    return host;
}

} // namespace

TakeOutput::TakeOutput(std::string directory)
    : directory_(std::move(directory)), owner_(std::to_string(::getpid()) + " " + hostName())
{
}

std::string TakeOutput::panoramaPath(std::uint32_t frame, const std::string& format) const
{
    return (fs::path(directory_) / (stem(frame) + "." + format)).string();
}

std::string TakeOutput::temporaryPath(std::uint32_t frame, const std::string& format, long pid) const
{
    return (fs::path(directory_) / ("." + stem(frame) + ".partial-" + std::to_string(pid) + "." + format)).string();
}

std::string TakeOutput::claimPath(std::uint32_t frame) const
{
    return (fs::path(directory_) / ("." + stem(frame) + ".claim")).string();
}

TakeOutput::Pending::Pending(TakeOutput& output, int fd, std::string temporary, std::string destination)
    : output_(output), fd_(fd), temporary_(std::move(temporary)), destination_(std::move(destination))
{
}

TakeOutput::Pending::~Pending()
{
    if (fd_ < 0)
        return;
    ::close(fd_);
    ::unlink(temporary_.c_str());
    std::lock_guard<std::mutex> lock(output_.pendingMutex_);
    output_.pending_.erase(temporary_);
}

std::unique_ptr<TakeOutput::Pending> TakeOutput::stream(std::uint32_t frame, const std::string& format,
                                                        const Producer& produce)
{
    std::shared_lock<std::shared_mutex> lock(writes_);
    if (interrupted_)
        return nullptr;
    const std::string destination = panoramaPath(frame, format);
    const std::string temporary = temporaryPath(frame, format, static_cast<long>(::getpid()));
    const int fd = createFresh(temporary, 0644);
    if (fd < 0)
        throw std::runtime_error("cannot write panorama '" + destination + "': " + errnoText(errno));
    {
        std::lock_guard<std::mutex> registry(pendingMutex_);
        pending_.insert(temporary);
    }
    // From here the file goes with `pending`, also when `produce` or a write throws.
    std::unique_ptr<Pending> pending(new Pending(*this, fd, temporary, destination));
    StreamingFileSink sink(fd, temporary);
    produce(std::ref(sink));
    return pending;
}

bool TakeOutput::finish(std::unique_ptr<Pending> pending)
{
    std::shared_lock<std::shared_mutex> lock(writes_);
    if (interrupted_)
        return false;
    const std::string& temporary = pending->temporary_;
    const std::string& destination = pending->destination_;
    if (::fsync(pending->fd_) != 0)
        throw std::runtime_error("cannot flush '" + temporary + "' to disk: " + errnoText(errno));
    const int closed = ::close(pending->fd_);
    pending->fd_ = -1;
    const int closeError = errno;
    {
        std::lock_guard<std::mutex> registry(pendingMutex_);
        pending_.erase(temporary);
    }
    if (closed != 0) {
        ::unlink(temporary.c_str());
        throw std::runtime_error("cannot write panorama '" + destination + "': " + errnoText(closeError));
    }
    if (::rename(temporary.c_str(), destination.c_str()) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        throw std::runtime_error("cannot rename '" + temporary + "' to '" + destination + "': " + errnoText(error));
    }
    // The rename is durable only once the directory is flushed too.
    syncDirectory(directory_);
    return true;
}

bool TakeOutput::write(std::uint32_t frame, const std::string& format, const Producer& produce)
{
    std::unique_ptr<Pending> pending = stream(frame, format, produce);
    return pending && finish(std::move(pending));
}

bool TakeOutput::write(std::uint32_t frame, const std::string& format, const std::vector<unsigned char>& bytes)
{
    return write(frame, format, [&bytes](const auto& sink) { sink(bytes); });
}

bool TakeOutput::writeOther(const std::function<void()>& work)
{
    std::shared_lock<std::shared_mutex> lock(writes_);
    if (interrupted_)
        return false;
    work();
    return true;
}

void TakeOutput::removeStaleTemporaries(const std::vector<std::uint32_t>& frames, const std::string& format) const
{
    const std::set<std::uint32_t> ours(frames.begin(), frames.end());
    const std::string infix = ".partial-";
    std::error_code ec;
    // .0000000042.partial-<pid>.<format>, and the overlays'
    // .0000000042.<picture>.partial-<pid>.png and .0000000042.overlays.partial-<pid>.json
    for (fs::directory_iterator it(directory_, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        const std::size_t at = name.find(infix);
        if (name.size() < 12 || name[0] != '.' || !allDigits(name.substr(1, 10), 10) || name[11] != '.' ||
            at == std::string::npos)
            continue;
        const std::size_t dot = name.find('.', at + infix.size());
        const std::string extension = dot == std::string::npos ? "" : name.substr(dot + 1);
        const std::string pidText = name.substr(at + infix.size(), dot - at - infix.size());
        if (!allDigits(pidText, 9) || (extension != format && extension != "png" && extension != "json"))
            continue;
        if (!ours.count(static_cast<std::uint32_t>(std::stoul(name.substr(1, 10)))))
            continue;
        const long pid = std::stol(pidText);
        std::error_code ignored;
        if (pid == static_cast<long>(::getpid()) || processGone(pid))
            fs::remove(it->path(), ignored);
    }
}

std::string TakeOutput::claim(std::uint32_t frame)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string path = claimPath(frame);
    const std::string mine = owner_ + "\n";
    const std::string host = owner_.substr(owner_.find(' ') + 1);
    for (int attempt = 0; attempt < 4; ++attempt) {
        // The claim appears whole or not at all: written aside, then linked into place
        // (link, like O_EXCL, fails if the name is taken, also on shared filesystems).
        const std::string aside = path + "." + std::to_string(::getpid());
        const int fd = createFresh(aside, 0644);
        if (fd < 0)
            throw std::runtime_error("cannot claim frame " + stem(frame) + " in '" + directory_ + "': " +
                                     errnoText(errno));
        const bool written = ::write(fd, mine.data(), mine.size()) == static_cast<ssize_t>(mine.size());
        ::close(fd);
        const int linked = written ? ::link(aside.c_str(), path.c_str()) : -1;
        const int error = written ? errno : EIO;
        ::unlink(aside.c_str());
        if (linked == 0) {
            claims_.insert(frame);
            return {};
        }
        if (error != EEXIST)
            throw std::runtime_error("cannot claim frame " + stem(frame) + " in '" + directory_ + "': " +
                                     errnoText(error));

        std::string holder;
        if (!readSmallFile(path, 512, holder) && errno == ENOENT)
            continue; // released meanwhile
        long pid = 0;
        char holderHost[256] = "";
        const bool parsed = std::sscanf(holder.c_str(), "%ld %255s", &pid, holderHost) == 2 && pid > 0;
        const bool stale = !parsed || (host == holderHost && (pid == ::getpid() || processGone(pid)));
        if (!stale)
            return "process " + std::to_string(pid) + " on " + holderHost;
        // Taken over by moving it aside: of several processes that found it stale, one
        // moves it; one that moved a claim made meanwhile puts that back.
        const std::string moved = path + ".stale-" + std::to_string(::getpid());
        if (::rename(path.c_str(), moved.c_str()) != 0)
            continue;
        std::string movedText;
        readSmallFile(moved, 512, movedText);
        if (movedText != holder && ::link(moved.c_str(), path.c_str()) == 0) {
            ::unlink(moved.c_str());
            continue;
        }
        ::unlink(moved.c_str());
    }
    return "another process (its claim '" + path + "' keeps changing)";
}

void TakeOutput::release(std::uint32_t frame)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (claims_.erase(frame))
        ::unlink(claimPath(frame).c_str());
}

void TakeOutput::releaseOwnClaim(std::uint32_t frame)
{
    std::lock_guard<std::mutex> lock(mutex_);
    claims_.erase(frame);
    std::string holder;
    if (readSmallFile(claimPath(frame), 512, holder) && holder == owner_ + "\n")
        ::unlink(claimPath(frame).c_str());
}

void TakeOutput::interrupt()
{
    // Never released: the process exits next. Writes in progress end first.
    writes_.lock();
    interrupted_ = true;
    {
        // Streamed and waiting to be finished: never renamed now.
        std::lock_guard<std::mutex> registry(pendingMutex_);
        for (const std::string& temporary : pending_)
            ::unlink(temporary.c_str());
        pending_.clear();
    }
    mutex_.lock();
    for (std::uint32_t frame : claims_)
        ::unlink(claimPath(frame).c_str());
    claims_.clear();
}

bool TakeOutput::panoramaComplete(std::uint32_t frame, const std::string& format) const
{
    const std::string path = panoramaPath(frame, format);
    std::string head, tail;
    off_t size = 0;
    if (!fileEnds(path, 12, head, tail, size) || size < 24)
        return false;
    if (format == "png") {
        static const std::string signature("\x89PNG\r\n\x1a\n", 8);
        static const std::string end("\0\0\0\0IEND\xae\x42\x60\x82", 12);
        return head.compare(0, 8, signature) == 0 && tail == end;
    }
    if (format == "jpg")
        return head.compare(0, 3, "\xff\xd8\xff") == 0 && tail.compare(10, 2, "\xff\xd9") == 0;
    // TIFF marks no end: it is whole if it decodes.
    if (head.compare(0, 4, std::string("II*\0", 4)) != 0 && head.compare(0, 4, std::string("MM\0*", 4)) != 0)
        return false;
    try {
        return !cv::imread(path, cv::IMREAD_UNCHANGED).empty();
    } catch (const cv::Exception&) {
        return false;
    }
}

bool TakeOutput::overlaysComplete(std::uint32_t frame) const
{
    std::string text;
    if (!readSmallFile((fs::path(directory_) / (stem(frame) + ".overlays.json")).string(), 1 << 16, text) ||
        text.size() < 2 || text.compare(text.size() - 2, 2, "}\n") != 0)
        return false;
    const std::string key = "\"file\": \"";
    for (std::size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + 1)) {
        const std::size_t begin = at + key.size();
        const std::size_t end = text.find('"', begin);
        const std::string name = text.substr(begin, end == std::string::npos ? 0 : end - begin);
        std::string head, tail;
        off_t size = 0;
        if (name.empty() || name.find('/') != std::string::npos ||
            !fileEnds((fs::path(directory_) / name).string(), 1, head, tail, size))
            return false;
    }
    return true;
}

void writeFileAtomically(const std::string& path, const std::string& bytes, const std::string& what)
{
    const fs::path target(path);
    const std::string directory = target.has_parent_path() ? target.parent_path().string() : ".";
    // A name nobody can predict, made with O_EXCL.
    std::string temporary = (fs::path(directory) / ("." + target.filename().string() + ".partial-XXXXXX")).string();
    const int fd = ::mkstemp(&temporary[0]);
    if (fd < 0)
        throw std::runtime_error("cannot write " + what + " '" + path + "': " + errnoText(errno));
    int error = 0;
    std::size_t done = 0;
    while (error == 0 && done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno != EINTR)
            error = errno;
        else if (n > 0)
            done += static_cast<std::size_t>(n);
    }
    if (error == 0 && ::fchmod(fd, 0644) != 0)
        error = errno;
    if (error == 0 && ::fsync(fd) != 0)
        error = errno;
    if (::close(fd) != 0 && error == 0)
        error = errno;
    if (error == 0 && ::rename(temporary.c_str(), path.c_str()) != 0)
        error = errno;
    if (error != 0) {
        ::unlink(temporary.c_str());
        throw std::runtime_error("cannot write " + what + " '" + path + "': " + errnoText(error));
    }
    syncDirectory(directory);
}

} // namespace batch
