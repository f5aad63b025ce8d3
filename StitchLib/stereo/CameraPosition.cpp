#include "StitchLib/stereo/CameraPosition.h"

namespace orb {
namespace BaseApi {

cv::Matx<float, 3, 1> getCamPosB(const CameraIntrinsics& camera)
{
    return rotationBToC(camera).t() * (-translationBToC(camera));
}

} // namespace BaseApi
} // namespace orb
