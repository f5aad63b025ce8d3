#include "BaseLib/ImportIntrinsics.h"

#include <fstream>
#include <stdexcept>

namespace orb {
namespace BaseApi {

namespace {

std::vector<CameraIntrinsics> readCameras(cv::FileStorage& storage)
{
    std::vector<CameraIntrinsics> cameras;
    const cv::FileNode list = storage["cameras"];
    cv::Mat buffer;
    for (cv::FileNodeIterator it = list.begin(); it != list.end(); ++it) {
        const cv::FileNode camera = *it;
        CameraIntrinsics record;
        // The conversions assert the shape (a row vector is rejected) and convert
        // any numeric element type to float.
        camera["lensCoeffs"] >> buffer;
        record.lensCoeffs = static_cast<cv::Matx<float, 4, 1>>(buffer);
        camera["centre"] >> buffer;
        record.centre = static_cast<cv::Matx<float, 2, 1>>(buffer);
        camera["tmBToC"] >> buffer;
        record.tmBToC = static_cast<cv::Matx<float, 4, 4>>(buffer);
        cameras.push_back(record);
    }
    storage.release();
    return cameras;
}

std::runtime_error readError(const std::string& path)
{
    return std::runtime_error("Error in reading calibration file. Check that calibration file '" + path +
                              "' is valid");
}

} // namespace

std::vector<CameraIntrinsics> importIntrinsics(const std::string& path)
{
    // A file that cannot be opened reads as no cameras; probing first keeps the storage
    // library from logging its own complaint about it.
    if (!std::ifstream(path))
        return {};
    try {
        cv::FileStorage storage(path, cv::FileStorage::READ);
        return readCameras(storage);
    } catch (...) {
        throw readError(path);
    }
}

std::vector<CameraIntrinsics> importIntrinsicsFromText(const std::string& text, const std::string& path)
{
    try {
        cv::FileStorage storage(text, cv::FileStorage::READ | cv::FileStorage::MEMORY);
        return readCameras(storage);
    } catch (...) {
        throw readError(path);
    }
}

} // namespace BaseApi
} // namespace orb
