// Decoded frames of a 360 video against the image-file pipeline's panoramas of the
// same frames, each panorama resized to the video's size by area averaging (as the
// batch tool reduces the stitch): PSNR over the colour channels, per frame, then the
// lowest and the mean.
//
//   quadstitch-videopsnr VIDEO PANORAMA_DIR FIRST_FRAME_NUMBER
//   quadstitch-videopsnr --extract VIDEO DIR CAMERA
//
// --extract writes the video's frames as DIR/%010d-CAMERA.png, decoded as the batch
// tool decodes them, so that the image-file pipeline stitches the very same pixels.
#include "VideoReader.h"

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cstdio>
#include <string>

int main(int argc, char** argv)
{
    if (argc == 5 && std::string(argv[1]) == "--extract") {
        try {
            video::VideoReader reader(argv[2]);
            video::VideoFrame frame;
            while (reader.read(frame)) {
                char name[48];
                std::snprintf(name, sizeof name, "/%010ld-%s.png", static_cast<long>(frame.index), argv[4]);
                if (!cv::imwrite(std::string(argv[3]) + name, frame.image))
                    throw std::runtime_error(std::string("cannot write ") + argv[3] + name);
            }
            return 0;
        } catch (const std::exception& e) {
            std::fprintf(stderr, "quadstitch-videopsnr: %s\n", e.what());
            return 2;
        }
    }
    if (argc != 4) {
        std::fprintf(stderr, "usage: quadstitch-videopsnr VIDEO PANORAMA_DIR FIRST_FRAME_NUMBER\n");
        return 1;
    }
    try {
        video::VideoReader reader(argv[1]);
        const long first = std::stol(argv[3]);
        video::VideoFrame frame;
        double lowest = 1e9, sum = 0;
        int count = 0;
        while (reader.read(frame)) {
            char name[32];
            std::snprintf(name, sizeof name, "/%010ld.png", first + frame.index);
            const std::string path = std::string(argv[2]) + name;
            cv::Mat panorama = cv::imread(path, cv::IMREAD_COLOR);
            if (panorama.empty()) {
                std::fprintf(stderr, "quadstitch-videopsnr: cannot read '%s'\n", path.c_str());
                return 2;
            }
            cv::Mat reduced;
            cv::resize(panorama, reduced, frame.image.size(), 0, 0, cv::INTER_AREA);
            const double psnr = cv::PSNR(reduced, frame.image);
            std::printf("frame %ld: %.2f dB\n", first + frame.index, psnr);
            lowest = std::min(lowest, psnr);
            sum += psnr;
            ++count;
        }
        std::printf("frames %d, lowest %.2f dB, mean %.2f dB\n", count, lowest, count ? sum / count : 0.0);
        return count > 0 ? 0 : 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quadstitch-videopsnr: %s\n", e.what());
        return 2;
    }
}
