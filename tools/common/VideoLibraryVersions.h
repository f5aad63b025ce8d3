#pragma once
// The FFmpeg library versions a tool was compiled against, for --version. Header
// only: it needs the libraries' include paths, not their code.

#include <string>

extern "C" {
#include <libavcodec/version.h>
#include <libavformat/version.h>
#include <libavutil/version.h>
}

namespace tools {

inline std::string videoLibraryVersions()
{
    return "FFmpeg libraries: libavformat " AV_STRINGIFY(LIBAVFORMAT_VERSION) ", libavcodec " AV_STRINGIFY(
        LIBAVCODEC_VERSION) ", libavutil " AV_STRINGIFY(LIBAVUTIL_VERSION);
}

} // namespace tools
