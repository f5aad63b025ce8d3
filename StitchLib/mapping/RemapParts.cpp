#include "StitchLib/mapping/RemapParts.h"

#include "StitchLib/geometry/EqrToFisheye.h"
#include "StitchLib/geometry/ImageMapping.h"
#include "StitchLib/geometry/Rig.h"

#include <opencv2/imgproc.hpp>

#include <stdexcept>
#include <string>
#include <sys/mman.h>

namespace orb {
namespace BaseApi {

namespace {

// Parts live in fresh anonymous mappings, which the system hands out as zeros
// without touching them: a page of a part is only stored once a camera's
// region is written into it. Each camera covers about a third of its part, so
// most of the part's transparent zeros never take memory, nor time to write.
class FreshZeroAllocator : public cv::MatAllocator {
public:
    cv::UMatData* allocate(int dims, const int* sizes, int type, void* data0, std::size_t* step, cv::AccessFlag,
                           cv::UMatUsageFlags) const override
    {
        std::size_t total = CV_ELEM_SIZE(type);
        for (int i = dims - 1; i >= 0; --i) {
            if (step) {
                if (data0 && step[i] != cv::Mat::AUTO_STEP) {
                    CV_Assert(total <= step[i]);
                    total = step[i];
                } else {
                    step[i] = total;
                }
            }
            total *= static_cast<std::size_t>(sizes[i]);
        }
        cv::UMatData* u = new cv::UMatData(this);
        u->size = total;
        if (data0) {
            u->data = u->origdata = static_cast<uchar*>(data0);
            u->flags |= cv::UMatData::USER_ALLOCATED;
            return u;
        }
        void* mapped = mmap(nullptr, total > 0 ? total : 1, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapped == MAP_FAILED) {
            delete u;
            CV_Error(cv::Error::StsNoMem, "BaseApi remapPartsWithExtrinsics() out of memory");
        }
        u->data = u->origdata = static_cast<uchar*>(mapped);
        return u;
    }

    bool allocate(cv::UMatData* u, cv::AccessFlag, cv::UMatUsageFlags) const override { return u != nullptr; }

    void deallocate(cv::UMatData* u) const override
    {
        if (!u) {
            return;
        }
        CV_Assert(u->urefcount == 0 && u->refcount == 0);
        if (!(u->flags & cv::UMatData::USER_ALLOCATED)) {
            munmap(u->origdata, u->size > 0 ? u->size : 1);
            u->origdata = nullptr;
        }
        delete u;
    }
};

// A rows x cols CV_8UC4 matrix of zeros (fully transparent).
cv::Mat transparentPart(int rows, int cols)
{
    static FreshZeroAllocator allocator;
    cv::Mat part;
    part.allocator = &allocator;
    part.create(rows, cols, CV_8UC4);
    return part;
}

} // namespace

std::vector<cv::Mat> remapPartsWithExtrinsics(const cv::Matx44f& extrinsic, const ScanImages& scan,
                                              const std::vector<CameraIntrinsics>& cameras,
                                              const std::vector<cv::Mat>& images, float maxAngle)
{
    if (images.size() < cameras.size())
        throw std::runtime_error("BaseApi remapPartsWithExtrinsics() fewer images than cameras");

    const int rows = scan.inverseDepth.rows;
    const int cols = scan.inverseDepth.cols;
    std::vector<cv::Mat> parts;
    cv::Mat map; // one buffer for every region of every camera

    for (std::size_t i = 0; i < cameras.size(); ++i) {
        const std::vector<cv::Rect> regions = Rig::partRegions(static_cast<int>(i), rows, cols);

        cv::Mat bgra;
        cv::cvtColor(images[i], bgra, cv::COLOR_BGR2BGRA);
        // A remap into a part view of another type would reallocate the view and leave
        // the part empty without a word.
        if (bgra.type() != CV_8UC4)
            throw std::runtime_error("BaseApi remapPartsWithExtrinsics() image " + std::to_string(i) +
                                     " is not an 8-bit colour image");

        auto mapper = makeEqrToFisheye(cameras[i], extrinsic, scan.inverseDepth, scan.validRows, maxAngle);
        cv::Mat part = transparentPart(rows, 2 * rows);

        for (const cv::Rect& region : regions) {
            if (region.width <= 0 || region.height <= 0)
                continue;
            ImageMapping::initMapParallel(region, mapper, map);
            cv::Mat target = part(region);
            cv::remap(bgra, target, map, cv::noArray(), cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar::all(0));
        }
        parts.push_back(part);
    }
    return parts;
}

} // namespace BaseApi
} // namespace orb
