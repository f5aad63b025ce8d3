#include "calibrate/CalibrationWriter.h"

#include "StitchLib/input/CalibrationCheck.h"
#include "StitchLib/input/CalibrationFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace calibrate {

namespace {

namespace fs = std::filesystem;

void writeAll(int fd, const std::string& text, const std::string& path)
{
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw std::runtime_error("cannot write '" + path + "': " + std::strerror(errno));
        done += static_cast<std::size_t>(n);
    }
}

} // namespace

std::string calibrationText(const std::vector<orb::CameraIntrinsics>& cameras, cv::Size imageSize)
{
    cv::FileStorage storage("calibration.yaml", cv::FileStorage::WRITE | cv::FileStorage::MEMORY);
    storage << "cameras" << "[";
    for (const orb::CameraIntrinsics& camera : cameras) {
        storage << "{" << "lensCoeffs" << cv::Mat(camera.lensCoeffs) << "centre" << cv::Mat(camera.centre)
                << "tmBToC" << cv::Mat(camera.tmBToC) << "imageSize" << imageSize << "}";
    }
    storage << "]";
    return storage.releaseAndGetString();
}

void writeCalibrationFile(const std::string& path, const std::vector<orb::CameraIntrinsics>& cameras,
                          cv::Size imageSize)
{
    const fs::path target(path);
    const fs::path dir = target.has_parent_path() ? target.parent_path() : fs::path(".");
    const fs::path temporary = dir / ("." + target.filename().string() + "." + std::to_string(::getpid()) + ".tmp");
    const std::string text = calibrationText(cameras, imageSize);
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        throw std::runtime_error("cannot write '" + path + "': " + std::strerror(errno));
    bool open = true;
    try {
        writeAll(fd, text, path);
        if (::fsync(fd) != 0)
            throw std::runtime_error("cannot write '" + path + "': " + std::strerror(errno));
        open = false;
        if (::close(fd) != 0)
            throw std::runtime_error("cannot write '" + path + "': " + std::strerror(errno));
        // What the stitcher will read must pass its own reader and checks.
        const orb::input::Calibration back = orb::input::readCalibrationFile(temporary.string(), cameras.size());
        orb::input::checkCalibrationMatchesImages(back, imageSize, path);
        std::error_code ec;
        fs::rename(temporary, target, ec);
        if (ec)
            throw std::runtime_error("cannot write '" + path + "': " + ec.message());
    } catch (...) {
        if (open)
            ::close(fd);
        std::error_code ignored;
        fs::remove(temporary, ignored);
        throw;
    }
}

std::string backupFile(const std::string& path)
{
    std::string backup = path + ".bak";
    for (int n = 2; fs::exists(backup); ++n)
        backup = path + ".bak." + std::to_string(n);
    std::error_code ec;
    fs::copy_file(path, backup, fs::copy_options::none, ec);
    if (ec)
        throw std::runtime_error("cannot back up '" + path + "' to '" + backup + "': " + ec.message());
    return backup;
}

} // namespace calibrate
