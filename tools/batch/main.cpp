// quadstitch-batch: stitches a whole take, frame by frame, with the same pixels as
// quadstitch, several frames at once, resumable, with progress and a report. Video
// takes, the calibration check and --version run in quadstitch-batch-video, so that
// an image take loads no video or solver library.
#include "BatchCommandLine.h"
#include "BatchRunner.h"
#include "VideoModule.h"

#include <iostream>

namespace po = boost::program_options;

int main(int argc, char** argv)
{
    // First, before anything can start a thread (OpenCV's pool included): every
    // thread inherits the blocked signals, and one thread waits for them. The module
    // inherits them blocked too, as it would block them itself.
    batch::blockStopSignals();
    const po::options_description description = batch::commandLineOptions();

    batch::BatchOptions options;
    try {
        const po::variables_map vm = batch::parseCommandLine(argc, argv, description);
        if (vm.count("help")) {
            batch::printHelp(std::cout, description);
            return batch::kExitOk;
        }
        // The module reads the same command line again and answers as this tool would.
        if (batch::needsVideoModule(vm))
            return batch::runVideoModule(argv);
        options = batch::imageTakeOptions(vm);
    } catch (const std::exception& e) {
        std::cerr << "quadstitch-batch: " << e.what() << "\n" << "Try 'quadstitch-batch --help'.\n";
        return batch::kExitUsage;
    }
    try {
        return batch::runTake(options);
    } catch (const std::exception& e) {
        std::cerr << "quadstitch-batch: " << e.what() << "\n";
        return batch::kExitFailed;
    }
}
