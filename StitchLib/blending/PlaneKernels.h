#pragma once

#include <opencv2/core.hpp>

#include <array>
#include <functional>
#include <vector>

namespace orb {
namespace PlaneKernels {

// Fused per-pixel passes over row bands, giving exactly the bits of the chains
// of whole-plane OpenCV calls they replace: intermediate planes stay in cache
// and are never allocated at full size.

// A two-operand 8-bit operation as a 256 x 256 table, filled once by OpenCV
// itself, so that a fused loop reproduces its rounding to the bit.
class ByteTable {
public:
    using Operation = std::function<void(const cv::Mat& a, const cv::Mat& b, cv::Mat& result)>;
    explicit ByteTable(const Operation& operation);

    // The values op(a, b) for every b, for one a.
    const uchar* row(uchar a) const { return values.data() + (static_cast<int>(a) << 8); }
    uchar operator()(uchar a, uchar b) const { return values[(static_cast<std::size_t>(a) << 8) | b]; }

private:
    std::array<uchar, 256 * 256> values;
};

// cv::multiply(a, b, r, 1.0 / 255.0) in 8 bits: a colour weighted by an 8-bit weight.
const ByteTable& weighted();
// cv::divide(a, b, r, 255.0) in 8 bits: 255 a / b rounded and saturated, 0 where b is 0.
const ByteTable& normalised();
// a.mul(b, 1/255 in single precision) in 8 bits, as the seam finder masks with.
const ByteTable& maskedSingle();

// True when op(x, 255) is x and op(x, 0) is 0 for every x: then runs of
// those two weights may be handled without the table.
bool keepsFullAndClearsNone(const ByteTable& table);

// Creates m as a rows x cols matrix of the given type (unless it already is
// one). Large planes are mappings of their own, returned to the system as
// soon as they are freed.
void createPlane(cv::Mat& m, int rows, int cols, int type);
void createPlane(cv::Mat& m, cv::Size size, int type);
// Which freed large planes are kept for reuse.
enum class Reuse {
    // Planes that are written whole; zero planes go back to the system.
    WrittenPlanes,
    // Zero planes too, cleared when taken again, and every large matrix OpenCV
    // allocates in the process (its default allocator becomes the planes'):
    // frame after frame allocates the same sizes, and reusing the pages
    // costs far less than faulting fresh ones in. Zero planes then take
    // memory for all their pages.
    EveryLargePlane,
};
// How many bytes of freed large planes are kept for reuse (64 MiB of written
// planes unless set): a process that stitches frame after frame and has memory
// to spare trades it for fewer fresh pages. Lowering it frees the surplus at
// once. Meant to be set while no other thread allocates planes.
void keepFreedPlanes(std::size_t bytes, Reuse reuse = Reuse::WrittenPlanes);

// While alive, `bytes` more of freed written planes are kept: for work that
// frees planes and at once allocates planes of the same size again, so that
// their pages are reused instead of returned and faulted in afresh. At its end
// the budget is lowered back and the surplus freed. Scopes on several threads
// add up.
class KeepMorePlanes {
public:
    explicit KeepMorePlanes(std::size_t bytes);
    ~KeepMorePlanes();
    KeepMorePlanes(const KeepMorePlanes&) = delete;
    KeepMorePlanes& operator=(const KeepMorePlanes&) = delete;

private:
    std::size_t bytes;
};

// Creates m as a rows x cols matrix (unless it already is one of these) of
// undefined contents, for a plane its caller writes whole. Freed while a
// KeepMorePlanes scope is alive, it is kept for the next plane of its size
// like a written plane; once the last scope ends it goes back to the system:
// scratch planes of work that allocates and frees them over and over, whose
// sizes later work does not ask for.
void createScratchPlane(cv::Mat& m, int rows, int cols, int type);

// Creates m as a rows x cols matrix of zeros (of the given type) whose pages
// take memory only once written: large ones are fresh mappings, not kept
// planes (unless every large plane is reused). For planes that stay 0 over
// large areas and are written sparsely.
void createZeroPlane(cv::Mat& m, int rows, int cols, int type);

// Gives the pages of row `row` of the 8-bit plane that lie under the
// non-zero bytes of `where` (cols of them) memory of their own before they
// are read and then written. A page of a zero plane that is read first is
// the system's shared zero page, and writing it afterwards makes every core
// drop it from its address cache: far dearer than a fresh page. Contents do
// not change; a system without the request simply takes the slow path.
void prepareWrites(cv::Mat& plane, int row, const uchar* where, int cols);
// The same for row `row` of each of `count` planes, with the scan of `where`
// shared by planes whose rows lie alike on their pages.
void prepareWrites(cv::Mat* const* planes, int count, int row, const uchar* where, int cols);

// Calls body(begin, end) for consecutive bands of about bandRows rows that
// cover [0, rows), on all cores. Bands are disjoint, so a body that writes
// only its own rows gives the same bits whatever the number of threads.
void forRowBands(int rows, int bandRows, const std::function<void(int begin, int end)>& body);

// Band height for passes over planes of cols columns, about `planes` planes of
// one band together filling a few hundred kilobytes.
int bandRowsFor(int cols, int planes);

// The runs of columns, left to right, where any of rows [rowBegin, rowEnd) of
// the 8-bit plane is non-zero: where passes over sparse planes must work.
std::vector<cv::Range> nonZeroColumnRuns(const cv::Mat& plane, int rowBegin, int rowEnd);

} // namespace PlaneKernels
} // namespace orb
