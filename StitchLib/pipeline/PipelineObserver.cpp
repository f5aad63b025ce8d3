#include "StitchLib/pipeline/PipelineObserver.h"

namespace orb {
namespace pipeline {

const char* stageName(Stage stage)
{
    switch (stage) {
    case Stage::Read: return "read";
    case Stage::Scan: return "scan";
    case Stage::GroundPlane: return "ground-plane";
    case Stage::Parts: return "parts";
    case Stage::Masks: return "masks";
    case Stage::Seams: return "seams";
    case Stage::Spline: return "spline";
    case Stage::FastStitch: return "fast-stitch";
    case Stage::Write: return "write";
    }
    return "unknown";
}

} // namespace pipeline
} // namespace orb
