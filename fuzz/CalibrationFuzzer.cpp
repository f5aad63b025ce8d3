// The calibration reader on arbitrary text: it must return or throw CalibrationError,
// quickly (run with -timeout), without touching memory it does not own.
#include "StitchLib/input/CalibrationCheck.h"
#include "StitchLib/input/CalibrationFile.h"
#include "StitchLib/input/InputError.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    try {
        // The records and the image sizes they record, read as the tools read them.
        const orb::input::Calibration calibration = orb::input::parseCalibrationFile(text, "fuzz.yaml");
        orb::input::checkCalibration(calibration.cameras, "fuzz.yaml");
        orb::input::checkCalibrationMatchesImages(calibration, cv::Size(256, 256), "fuzz.yaml");
    } catch (const orb::input::CalibrationError&) {
    }
    return 0;
}
