#include "StitchLib/input/JpegStream.h"

#include <csetjmp>
#include <cstdio>
#include <cstring>

#include <jpeglib.h>

namespace orb {
namespace input {
namespace {

struct StrictErrorManager {
    jpeg_error_mgr base;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

void failOnError(j_common_ptr info)
{
    auto* manager = reinterpret_cast<StrictErrorManager*>(info->err);
    (*info->err->format_message)(info, manager->message);
    std::longjmp(manager->jump, 1);
}

// Level -1 is the library's "corrupt data" warning, after which it goes on with
// made-up data; trace levels (0 and up) are ignored.
void failOnWarning(j_common_ptr info, int level)
{
    if (level < 0)
        failOnError(info);
}

void silence(j_common_ptr) {}

// Plain C state only between setjmp and longjmp: no destructor may be skipped.
bool runJpeg(const unsigned char* data, unsigned long size, bool decode, int* width, int* height, int* components,
             char* message)
{
    jpeg_decompress_struct info;
    StrictErrorManager manager;
    info.err = jpeg_std_error(&manager.base);
    manager.base.error_exit = failOnError;
    manager.base.emit_message = failOnWarning;
    manager.base.output_message = silence;
    manager.message[0] = '\0';
    if (setjmp(manager.jump)) {
        std::strncpy(message, manager.message, JMSG_LENGTH_MAX);
        jpeg_destroy_decompress(&info);
        return false;
    }
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, data, size);
    jpeg_read_header(&info, TRUE);
    *width = static_cast<int>(info.image_width);
    *height = static_cast<int>(info.image_height);
    *components = info.num_components;
    if (decode) {
        info.scale_num = 1;
        info.scale_denom = 8;
        info.dct_method = JDCT_IFAST;
        info.do_fancy_upsampling = FALSE;
        jpeg_start_decompress(&info);
        const JDIMENSION stride = info.output_width * static_cast<JDIMENSION>(info.output_components);
        JSAMPARRAY row = (*info.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&info), JPOOL_IMAGE, stride, 1);
        while (info.output_scanline < info.output_height)
            jpeg_read_scanlines(&info, row, 1);
        jpeg_finish_decompress(&info);
    }
    jpeg_destroy_decompress(&info);
    return true;
}

} // namespace

std::string readJpegStream(const std::uint8_t* data, std::size_t size, bool decode, int& width, int& height,
                           int& components)
{
    if (size == 0 || size > 0xffffffffUL)
        return "its size cannot be read as a JPEG stream";
    char message[JMSG_LENGTH_MAX] = {};
    width = height = components = 0;
    if (runJpeg(data, static_cast<unsigned long>(size), decode, &width, &height, &components, message))
        return {};
    return message[0] ? std::string(message) : std::string("the JPEG library rejected it");
}

} // namespace input
} // namespace orb
