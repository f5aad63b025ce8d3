// quadstitch-view: writes a page that shows the panoramas of a take in an
// interactive 360 viewer, with their overlays and the batch report's facts.
#include "PageServer.h"
#include "TakePage.h"
#include "ToolVersion.h"

#include <boost/program_options.hpp>

#include <iostream>
#include <unistd.h>

namespace fs = std::filesystem;
namespace po = boost::program_options;

namespace {

// Installed: <prefix>/bin/quadstitch-view beside <prefix>/share/quadstitch/viewer.
// In the build tree the assets sit in the folder CMake copied them to.
fs::path findAssets()
{
    std::error_code error;
    const fs::path self = fs::read_symlink("/proc/self/exe", error);
    if (!error) {
        const fs::path installed = (self.parent_path() / QUADSTITCH_VIEWER_FROM_BIN).lexically_normal();
        if (fs::is_regular_file(installed / "viewer.js", error)) return installed;
    }
    return QUADSTITCH_VIEWER_ASSETS;
}

} // namespace

int main(int argc, char** argv)
{
    po::options_description description("quadstitch-view: writes a 360 viewer page for the panoramas in DIR\n"
                                        "Usage: quadstitch-view DIR [options]\n\nOptions");
    description.add_options()
        ("help,h", "this help")
        ("version", "the versions of the tool and of the libraries it was built with")
        ("output,o", po::value<std::string>(), "page to write (default: DIR/index.html)")
        ("report", po::value<std::string>(), "batch report (default: DIR/quadstitch-report.json if present)")
        ("serve", "then serve the page on this machine (127.0.0.1) until Ctrl-C, printing its address")
        ("port", po::value<std::string>(), "the port to serve on (default: a free one)");
    po::options_description hidden;
    hidden.add_options()("dir", po::value<std::string>());
    po::options_description all;
    all.add(description).add(hidden);
    po::positional_options_description positional;
    positional.add("dir", 1);

    TakePage::Options options;
    bool serve = false;
    unsigned port = 0;
    try {
        po::variables_map vm;
        po::store(po::command_line_parser(argc, argv).options(all).positional(positional).run(), vm);
        po::notify(vm);
        if (vm.count("help")) {
            std::cout << description << "\nExample:\n  quadstitch-view take/panoramas --serve\n";
            return 0;
        }
        if (vm.count("version")) {
            std::cout << tools::versionText("quadstitch-view");
            return 0;
        }
        if (!vm.count("dir")) throw po::error("the folder of the take is missing");
        serve = vm.count("serve") > 0;
        if (vm.count("port")) {
            const std::string text = vm["port"].as<std::string>();
            if (!serve) throw po::error("--port needs --serve");
            if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos ||
                std::stoul(text) < 1 || std::stoul(text) > 65535)
                throw po::error("--port '" + text + "': expected a port number from 1 to 65535");
            port = static_cast<unsigned>(std::stoul(text));
        }
        options.takeDir = vm["dir"].as<std::string>();
        options.page = vm.count("output") ? fs::path(vm["output"].as<std::string>()) : options.takeDir / "index.html";
        if (vm.count("report")) {
            options.report = fs::path(vm["report"].as<std::string>());
        } else if (fs::is_regular_file(options.takeDir / "quadstitch-report.json")) {
            options.report = options.takeDir / "quadstitch-report.json";
        }
    } catch (const std::exception& e) {
        std::cerr << "quadstitch-view: " << e.what() << "\n" << description << std::endl;
        return 1;
    }

    try {
        options.assets = findAssets();
        const std::size_t frames = TakePage::writePage(options);
        std::cout << fs::absolute(options.page).lexically_normal().string() << " (" << frames
                  << (frames == 1 ? " frame)" : " frames)") << std::endl;
        if (serve) {
            const fs::path page = fs::absolute(options.page).lexically_normal();
            PageServer server(page.parent_path(), page.filename().string(), static_cast<std::uint16_t>(port));
            std::cout << "Serving the page at http://127.0.0.1:" << server.port() << "/ (this machine only; Ctrl-C stops)"
                      << std::endl;
            server.run();
        }
    } catch (const std::exception& e) {
        std::cerr << "quadstitch-view: " << e.what() << std::endl;
        return 2;
    }
    return 0;
}
