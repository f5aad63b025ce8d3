#pragma once

// The batch tool's command line. quadstitch-batch (image takes) and
// quadstitch-batch-video (video takes, the calibration check, --version) both read it
// here, so that they describe, check and refuse every option alike.
#include "BatchRunner.h"

#include <boost/program_options.hpp>

#include <cstdint>
#include <iosfwd>
#include <string>
#include <utility>

namespace batch {

// Every option of the tool, image and video takes together, as --help shows them.
boost::program_options::options_description commandLineOptions();

// Parses and notifies; throws boost::program_options::error for a bad command line.
boost::program_options::variables_map parseCommandLine(int argc, char** argv,
                                                       const boost::program_options::options_description& options);

// --help's text.
void printHelp(std::ostream& out, const boost::program_options::options_description& options);

// Whether the command line asks for what only quadstitch-batch-video does: a video
// take, the calibration check, or the libraries' versions.
bool needsVideoModule(const boost::program_options::variables_map& vm);

// An image take's options; throws boost::program_options::error naming the option. The
// calibration check is left to the caller (BatchOptions::calibrationCheck).
BatchOptions imageTakeOptions(const boost::program_options::variables_map& vm);

// The option as an integer from low to high (read as text: the parser would wrap "-1").
std::uint64_t unsignedOption(const boost::program_options::variables_map& vm, const char* name, std::uint64_t low,
                             std::uint64_t high);

// The option as a plain non-negative decimal number of seconds.
double secondsOption(const boost::program_options::variables_map& vm, const char* name, bool zeroAllowed);

// "WxH". Throws std::invalid_argument quoting the text.
std::pair<int, int> parseSize(const std::string& text);

// Whether an output name asks for a video: .mp4, .mov or .mkv.
bool isVideoOutput(const std::string& path);

} // namespace batch
