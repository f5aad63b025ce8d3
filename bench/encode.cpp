// Times PNG encoding of one image by the library's encoder and by the
// program's banded encoder, and checks that both decode to the same pixels.
#include "app/PanoramaEncoder.h"

#include <opencv2/imgcodecs.hpp>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <iostream>

namespace {

template <typename F>
void timed(const char* label, F&& action)
{
    const auto start = std::chrono::steady_clock::now();
    const std::clock_t cpuStart = std::clock();
    const std::size_t bytes = action();
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpu = static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
    std::printf("%-22s %7.2f s wall %7.2f s cpu %11zu bytes\n", label, wall, cpu, bytes);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::cerr << "usage: quadstitch-encode IMAGE\n";
        return 1;
    }
    const cv::Mat image = cv::imread(argv[1], cv::IMREAD_UNCHANGED);
    if (image.empty()) {
        std::cerr << "cannot read " << argv[1] << "\n";
        return 2;
    }
    std::vector<uchar> library, banded;
    timed("cv::imencode .png", [&] {
        cv::imencode(".png", image, library);
        return library.size();
    });
    timed("encodePanorama .png", [&] {
        banded = encodePanorama(image, ".png");
        return banded.size();
    });
    const double difference =
        cv::norm(cv::imdecode(library, cv::IMREAD_UNCHANGED), cv::imdecode(banded, cv::IMREAD_UNCHANGED), cv::NORM_INF);
    std::printf("decoded pixels %s\n", difference == 0 ? "identical" : "DIFFER");
    return difference == 0 ? 0 : 3;
}
