#include "TakeOutput.h"

#include "app/PanoramaWriter.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <set>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace batch {

namespace {

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

} // namespace

TakeOutput::TakeOutput(std::string directory) : directory_(std::move(directory)) {}

std::string TakeOutput::panoramaPath(std::uint32_t frame, const std::string& format) const
{
    return (std::filesystem::path(directory_) / (stem(frame) + "." + format)).string();
}

std::string TakeOutput::temporaryPath(std::uint32_t frame, const std::string& format, long pid) const
{
    return (std::filesystem::path(directory_) / ("." + stem(frame) + ".partial-" + std::to_string(pid) + "." + format))
        .string();
}

bool TakeOutput::write(std::uint32_t frame, const std::string& format, const std::vector<unsigned char>& bytes)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (interrupted_)
        return false;
    const std::string destination = panoramaPath(frame, format);
    const std::string temporary = temporaryPath(frame, format, static_cast<long>(::getpid()));
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        throw std::runtime_error("cannot write panorama '" + destination + "': " + errnoText(errno));
    try {
        writeAllBytes(fd, bytes, temporary);
        if (::fsync(fd) != 0)
            throw std::runtime_error("cannot flush '" + temporary + "' to disk: " + errnoText(errno));
    } catch (...) {
        ::close(fd);
        ::unlink(temporary.c_str());
        throw;
    }
    if (::close(fd) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        throw std::runtime_error("cannot write panorama '" + destination + "': " + errnoText(error));
    }
    if (::rename(temporary.c_str(), destination.c_str()) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        throw std::runtime_error("cannot rename '" + temporary + "' to '" + destination + "': " + errnoText(error));
    }
    // The rename is durable only once the directory is flushed too.
    const int dir = ::open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

void TakeOutput::removeStaleTemporaries(const std::vector<std::uint32_t>& frames, const std::string& format) const
{
    namespace fs = std::filesystem;
    const std::set<std::uint32_t> ours(frames.begin(), frames.end());
    const std::string infix = ".partial-";
    const std::string suffix = "." + format;
    std::error_code ec;
    // .0000000042.partial-<pid>.<format>
    for (fs::directory_iterator it(directory_, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.size() <= 11 + infix.size() + suffix.size() || name[0] != '.' ||
            name.compare(11, infix.size(), infix) != 0 ||
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
            continue;
        const std::string frameText = name.substr(1, 10);
        const std::string pidText = name.substr(11 + infix.size(), name.size() - 11 - infix.size() - suffix.size());
        if (frameText.find_first_not_of("0123456789") != std::string::npos || pidText.empty() ||
            pidText.size() > 9 || pidText.find_first_not_of("0123456789") != std::string::npos)
            continue;
        if (!ours.count(static_cast<std::uint32_t>(std::stoul(frameText))))
            continue;
        const long pid = std::stol(pidText);
        std::error_code ignored;
        if (pid == static_cast<long>(::getpid()) || processGone(pid))
            fs::remove(it->path(), ignored);
    }
}

void TakeOutput::interrupt()
{
    mutex_.lock(); // never released: the process exits next
    interrupted_ = true;
}

} // namespace batch
