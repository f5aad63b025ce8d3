#include "app/CreateEquirectangular.h"

#include <boost/program_options.hpp>

#include <cstdint>
#include <exception>
#include <iostream>
#include <string>

namespace po = boost::program_options;

namespace {

constexpr uint32_t numberOfCameras = 4;
const char* const calibrationFileName = "calibration.yaml";

// Exit statuses: a command line that cannot be used, and a frame that cannot be stitched.
constexpr int exitUsage = 1;
constexpr int exitFailure = 2;

} // namespace

int main(int argc, char** argv)
{
    // No process-wide allocator tuning: the blend keeps and reuses its own
    // large planes, and the default allocator returns freed parts to the
    // system, which keeps the peak lower.
    po::options_description description("Allowed options", 80, 40);
    description.add_options()
        ("help,h", "Help Screen")
        ("working-directory,d", po::value<std::string>()->default_value("."), "Working Directory")
        ("frameNumber,f", po::value<uint32_t>()->default_value(0), "The frame number")
        ("stitch-type,s", po::value<uint32_t>()->default_value(0), "0 = full stitch, 1 = fast stitch")
        ("height-faststitch,t", po::value<uint32_t>()->default_value(1000), "height in pixels of the fast stitch")
        ("image-file-extension,i", po::value<std::string>()->default_value(".png"),
         "The type of image file including .");

    try {
        po::variables_map options;
        // No positional arguments exist: an empty positional description makes a
        // stray word (say, a frame number without -f) an error instead of being ignored.
        const po::positional_options_description noPositionalArguments;
        po::store(po::command_line_parser(argc, argv)
                      .options(description)
                      .positional(noPositionalArguments)
                      .run(),
                  options);
        po::notify(options);

        if (options.count("help")) {
            std::cout << description << std::endl;
            return 0;
        }

        std::string workingDirectory;
        std::string extension;
        uint32_t height = 0;
        uint32_t frameNumber = 0;
        uint32_t stitchType = 0;
        if (options.count("working-directory")) workingDirectory = options["working-directory"].as<std::string>();
        if (options.count("image-file-extension")) extension = options["image-file-extension"].as<std::string>();
        if (options.count("height-faststitch")) height = options["height-faststitch"].as<uint32_t>();
        if (options.count("frameNumber")) frameNumber = options["frameNumber"].as<uint32_t>();
        if (options.count("stitch-type")) stitchType = options["stitch-type"].as<uint32_t>();

        CreateEquirectangular(workingDirectory, extension, frameNumber, stitchType != 0, height,
                              numberOfCameras, calibrationFileName);
    } catch (const po::error& e) {
        // A command line that cannot be used is a failure, not a success.
        std::cerr << e.what() << std::endl;
        return exitUsage;
    } catch (const std::exception& e) {
        std::cerr << "quadstitch: " << e.what() << std::endl;
        return exitFailure;
    } catch (...) {
        std::cerr << "quadstitch: unknown error" << std::endl;
        return exitFailure;
    }
    return 0;
}
