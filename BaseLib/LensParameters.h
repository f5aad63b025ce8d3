#pragma once

namespace orb {

// Largest angle (radians) between a ray and the optical axis that a lens still maps.
// Version 0: 1.4486 (about 83 degrees); version 1: 1.6580628 (95 degrees).
// Any other version is a programming error and stops the process.
float maxAngleForLensVersion(int lensVersion);

} // namespace orb
