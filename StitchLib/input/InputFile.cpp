#include "StitchLib/input/InputFile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace orb {
namespace input {
namespace {

std::string typeProblem(const struct stat& status)
{
    if (S_ISDIR(status.st_mode))
        return "is a directory, not a file";
    if (!S_ISREG(status.st_mode))
        return "is not a regular file";
    return {};
}

std::string errnoText(int error) { return std::strerror(error); }

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

} // namespace

std::string readInputFile(const std::string& path, std::size_t maxBytes, std::string& bytes)
{
    bytes.clear();
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        const int error = errno;
        if (error != ENOENT)
            return "cannot be read: " + errnoText(error);
        // A mistyped folder is the likelier mistake when none of its files is there.
        const std::size_t slash = path.find_last_of('/');
        const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
        struct stat folderStatus {};
        if (::stat(folder.c_str(), &folderStatus) != 0 || !S_ISDIR(folderStatus.st_mode))
            return "does not exist (there is no folder '" + folder + "')";
        return "does not exist";
    }
    std::string problem = typeProblem(status);
    if (!problem.empty())
        return problem;
    // Non-blocking, in case the name was replaced by a FIFO since the check.
    const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (file.get() < 0)
        return "cannot be read: " + errnoText(errno);
    if (::fstat(file.get(), &status) != 0)
        return "cannot be read: " + errnoText(errno);
    problem = typeProblem(status);
    if (!problem.empty())
        return problem;
    const auto tooLarge = [&] {
        return "is larger than " + std::to_string(maxBytes) + " bytes, more than any usable input of its kind";
    };
    if (static_cast<unsigned long long>(status.st_size) > maxBytes)
        return tooLarge();
    // The file may grow while it is read: stop one byte past the limit.
    bytes.resize(static_cast<std::size_t>(status.st_size) + 1);
    std::size_t filled = 0;
    for (;;) {
        if (filled == bytes.size()) {
            if (bytes.size() > maxBytes)
                return tooLarge();
            bytes.resize(std::min(maxBytes + 1, bytes.size() * 2));
        }
        const ssize_t n = ::read(file.get(), &bytes[filled], bytes.size() - filled);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            const int error = errno;
            bytes.clear();
            return "cannot be read: " + errnoText(error);
        }
        if (n == 0)
            break;
        filled += static_cast<std::size_t>(n);
    }
    bytes.resize(filled);
    return {};
}

} // namespace input
} // namespace orb
