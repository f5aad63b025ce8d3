#include "BaseLib/CameraIntrinsics.h"

namespace orb {

CameraIntrinsics::CameraIntrinsics()
    : version(1), lensCoeffs(cv::Matx<float, 4, 1>::zeros()), centre(cv::Matx<float, 2, 1>::zeros()),
      tmBToC(cv::Matx<float, 4, 4>::zeros())
{
}

} // namespace orb
