#include "StitchLib/stereo/CameraPosition.h"

namespace orb {
namespace BaseApi {

cv::Matx<float, 3, 1> getCamPosB(const CameraIntrinsics& camera)
{
    const cv::Matx<float, 3, 3> rotation = camera.tmBToC.get_minor<3, 3>(0, 0);
    const cv::Matx<float, 3, 1> translation = camera.tmBToC.get_minor<3, 1>(0, 3);
    return rotation.t() * (-translation);
}

} // namespace BaseApi
} // namespace orb
