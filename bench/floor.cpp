// The floor under the fast stitch: read the four camera images of frame 0 and
// write one 1000 x 2000 PNG, with no stitching in between.
#include <opencv2/imgcodecs.hpp>

#include <iostream>
#include <string>

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::cerr << "usage: quadstitch-floor FRAME_DIR\n";
        return 1;
    }
    const std::string dir = argv[1];
    cv::Mat panorama(1000, 2000, CV_8UC3, cv::Scalar::all(0));
    for (int k = 1; k <= 4; ++k) {
        const cv::Mat image = cv::imread(dir + "/0000000000-" + std::to_string(k) + ".png", cv::IMREAD_UNCHANGED);
        if (image.empty()) return 2;
        // Keep some of every image so the reads cannot be skipped.
        image(cv::Rect(0, 0, 500, 1000)).copyTo(panorama(cv::Rect((k - 1) * 500, 0, 500, 1000)));
    }
    return cv::imwrite(dir + "/floor.png", panorama) ? 0 : 3;
}
