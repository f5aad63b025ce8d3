#include "StitchLib/blending/PlaneKernels.h"

#include <opencv2/core/hal/intrin.hpp>

#include <algorithm>
#include <cstdint>
#include <sys/mman.h>
#include <unistd.h>
#include <atomic>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

namespace orb {
namespace PlaneKernels {

namespace {

// 1/255 rounded to single precision, the seam finder's mask scale.
constexpr double kInverse255Single = 0.003921568859368563;

// Planes from this size on are mapped on their own and unmapped when freed, so
// that the memory goes back to the system at once and a plane of zeros takes
// memory only where it is written.
constexpr std::size_t kLargePlane = 4u << 20;

// Freed planes of full pages, kept for the next plane of the same size: the
// blend allocates planes of a few sizes over and over, and mapping and filling
// fresh pages cost more than reusing written ones. Bounded by default to about
// one panorama plane, which the measured peak of a full stitch does not notice.
class KeptPlanes {
public:
    void setLimit(std::size_t bytesKept)
    {
        changeLimit([&](std::size_t) { return bytesKept; }, 0);
    }

    // Raises (or, negative, lowers back) the limit as a scope begins (or
    // ends); a lower limit frees the surplus at once. Additive, so that
    // scopes on several threads compose.
    void addToLimit(long long bytesMore, int scopeChange)
    {
        changeLimit([&](std::size_t old) { return static_cast<std::size_t>(static_cast<long long>(old) + bytesMore); },
                    scopeChange);
    }

    // A kept block for a plane of `size` bytes, or null. Taken whole when one
    // of its size is kept; while every plane is kept, otherwise the front of
    // the smallest larger one, whose rest stays kept: a frame's planes come in
    // few sizes whose demand moves from large to small and back, and a worker
    // that splits its kept blocks holds about its frame's peak instead of the
    // peak of every size at once (and faults in that much less at its start).
    void* take(std::size_t size)
    {
        size = blockBytes(size);
        std::lock_guard<std::mutex> lock(mutex);
        auto fit = planes.end();
        for (auto it = planes.begin(); it != planes.end(); ++it) {
            if (it->size == size) {
                fit = it;
                break;
            }
            if (it->size > size && (fit == planes.end() || it->size < fit->size))
                fit = it;
        }
        if (fit == planes.end() || (fit->size != size && !everyPlaneKept()))
            return nullptr;
        void* block = fit->block;
        bytes -= size;
        if (fit->size == size) {
            planes.erase(fit);
        } else {
            fit->block = static_cast<char*>(fit->block) + size;
            fit->size -= size;
        }
        return block;
    }

    // False when the plane does not fit, or is a scratch plane and no scope
    // asks for reuse: then the caller unmaps it. While every plane is kept, a
    // block joins the kept blocks it borders, so that split blocks come
    // together again once their planes are freed.
    bool keep(void* block, std::size_t size, bool scratch)
    {
        size = blockBytes(size);
        std::lock_guard<std::mutex> lock(mutex);
        if (bytes + size > limit || (scratch && scopes == 0 && !everyPlaneKept())) {
            return false;
        }
        bytes += size;
        if (everyPlaneKept()) {
            char* const begin = static_cast<char*>(block);
            auto before = planes.end();
            auto after = planes.end();
            for (auto it = planes.begin(); it != planes.end(); ++it) {
                if (static_cast<char*>(it->block) + blockBytes(it->size) == begin)
                    before = it;
                else if (it->block == begin + size)
                    after = it;
            }
            if (before != planes.end()) {
                before->size = blockBytes(before->size) + size;
                before->scratch = before->scratch && scratch;
                if (after != planes.end()) {
                    before->size += after->size;
                    before->scratch = before->scratch && after->scratch;
                    planes.erase(after);
                }
                return true;
            }
            if (after != planes.end()) {
                after->block = block;
                after->size += size;
                after->scratch = after->scratch && scratch;
                return true;
            }
        }
        planes.push_back({block, size, scratch});
        return true;
    }

private:
    struct Kept {
        void* block;
        std::size_t size; // whole pages
        bool scratch;
    };

    static bool everyPlaneKept();

    // While every plane is kept (and blocks are split and joined), a plane's
    // mapping in whole pages, as the system maps it: every kept block then
    // starts on a page, so that any of them can be unmapped alone. Otherwise
    // the plane's own size, matched exactly.
    static std::size_t blockBytes(std::size_t size)
    {
        if (!everyPlaneKept())
            return size;
        static const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        return (size + page - 1) / page * page;
    }

    // Sets the limit from the old one and frees what it no longer allows,
    // scratch planes first, and every scratch plane once the last scope has
    // ended: they are of sizes that work after the scope does not ask for, and
    // would hold the budget that its own planes need. Unmapped outside the lock.
    template <typename NewLimit>
    void changeLimit(NewLimit newLimit, int scopeChange)
    {
        std::vector<Kept> released;
        {
            std::lock_guard<std::mutex> lock(mutex);
            limit = newLimit(limit);
            scopes += scopeChange;
            const bool dropScratch = scopes == 0 && !everyPlaneKept();
            for (auto it = planes.end(); it != planes.begin();) {
                --it;
                if (it->scratch && (dropScratch || bytes > limit)) {
                    released.push_back(*it);
                    bytes -= it->size;
                    it = planes.erase(it);
                }
            }
            while (bytes > limit && !planes.empty()) {
                released.push_back(planes.back());
                bytes -= planes.back().size;
                planes.pop_back();
            }
        }
        for (const Kept& kept : released) {
            munmap(kept.block, kept.size);
        }
    }

    std::mutex mutex;
    std::vector<Kept> planes;
    std::size_t bytes = 0;
    std::size_t limit = std::size_t(64) << 20;
    // KeepMorePlanes scopes alive.
    int scopes = 0;
};

// Whether freed zero planes are kept too (and cleared when taken again).
std::atomic<bool> keepZeroPlanes{false};

bool KeptPlanes::everyPlaneKept()
{
    return keepZeroPlanes.load(std::memory_order_relaxed);
}

KeptPlanes& keptPlanes()
{
    // Never destroyed: planes may be freed by other static objects at exit.
    static KeptPlanes* kept = new KeptPlanes();
    return *kept;
}

class PlaneAllocator : public cv::MatAllocator {
public:
    // zeroed: small planes are cleared too (large ones are new mappings).
    // scratch: written planes kept for reuse only while a KeepMorePlanes scope is alive.
    explicit PlaneAllocator(bool zeroed, bool scratch = false) : zeroed(zeroed), scratch(scratch) {}

    cv::UMatData* allocate(int dims, const int* sizes, int type, void* data0, std::size_t* step, cv::AccessFlag,
                           cv::UMatUsageFlags) const override
    {
        std::size_t total = CV_ELEM_SIZE(type);
        for (int i = dims - 1; i >= 0; --i) {
            if (step) {
                if (data0 && step[i] != cv::Mat::AUTO_STEP) {
                    CV_Assert(total <= step[i]);
                    total = step[i];
                } else {
                    step[i] = total;
                }
            }
            total *= static_cast<std::size_t>(sizes[i]);
        }
        cv::UMatData* u = new cv::UMatData(this);
        u->size = total;
        if (data0) {
            u->data = u->origdata = static_cast<uchar*>(data0);
            u->flags |= cv::UMatData::USER_ALLOCATED;
            return u;
        }
        if (total < kLargePlane) {
            u->data = u->origdata = static_cast<uchar*>(cv::fastMalloc(total));
            if (zeroed) {
                std::fill(u->data, u->data + total, uchar(0));
            }
            return u;
        }
        // A plane that will be written whole is a kept one, or populated in
        // one go, which costs far less than faulting it in page by page; a
        // zero plane is left untouched, unless it is a kept one, cleared.
        if (!zeroed || keepZeroPlanes.load(std::memory_order_relaxed)) {
            if (void* kept = keptPlanes().take(total)) {
                if (zeroed) {
                    std::memset(kept, 0, total);
                }
                u->data = u->origdata = static_cast<uchar*>(kept);
                return u;
            }
        }
        // A zero plane that will be kept takes memory for all its pages
        // anyway: populated at once too.
        const bool sparse = zeroed && !keepZeroPlanes.load(std::memory_order_relaxed);
        const int populate = sparse ? 0 : MAP_POPULATE;
        void* block = mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | populate, -1, 0);
        if (block == MAP_FAILED) {
            delete u;
            CV_Error(cv::Error::StsNoMem, "PlaneKernels createPlane() out of memory");
        }
        u->data = u->origdata = static_cast<uchar*>(block);
        return u;
    }

    bool allocate(cv::UMatData* u, cv::AccessFlag, cv::UMatUsageFlags) const override { return u != nullptr; }

    void deallocate(cv::UMatData* u) const override
    {
        if (!u) {
            return;
        }
        CV_Assert(u->urefcount == 0 && u->refcount == 0);
        if (!(u->flags & cv::UMatData::USER_ALLOCATED)) {
            // The size alone tells a mapping from a small block.
            if (u->size >= kLargePlane) {
                // Zero planes are written sparsely: kept only when asked for,
                // as their untouched pages then take memory too once cleared.
                const bool keep = !zeroed || keepZeroPlanes.load(std::memory_order_relaxed);
                if (!keep || !keptPlanes().keep(u->origdata, u->size, scratch)) {
                    munmap(u->origdata, u->size);
                }
            } else {
                cv::fastFree(u->origdata);
            }
            u->origdata = nullptr;
        }
        delete u;
    }

private:
    const bool zeroed;
    const bool scratch;
};

PlaneAllocator& writtenPlaneAllocator()
{
    static PlaneAllocator allocator(false);
    return allocator;
}

} // namespace

void keepFreedPlanes(std::size_t bytes, Reuse reuse)
{
    const bool everything = reuse == Reuse::EveryLargePlane;
    keepZeroPlanes.store(everything);
#ifndef __SANITIZE_ADDRESS__
    // Under the address sanitizer OpenCV's matrices stay on the heap, where
    // it watches them.
    if (everything) {
        cv::Mat::setDefaultAllocator(&writtenPlaneAllocator());
    } else if (cv::Mat::getDefaultAllocator() == &writtenPlaneAllocator()) {
        cv::Mat::setDefaultAllocator(cv::Mat::getStdAllocator());
    }
#endif
    keptPlanes().setLimit(bytes);
}

KeepMorePlanes::KeepMorePlanes(std::size_t bytes) : bytes(bytes)
{
    keptPlanes().addToLimit(static_cast<long long>(bytes), 1);
}

KeepMorePlanes::~KeepMorePlanes()
{
    keptPlanes().addToLimit(-static_cast<long long>(bytes), -1);
}

void createScratchPlane(cv::Mat& m, int rows, int cols, int type)
{
    static PlaneAllocator allocator(false, true);
    if (m.rows == rows && m.cols == cols && m.type() == type && m.dims == 2 && m.allocator == &allocator) {
        return;
    }
    m.release();
    m.allocator = &allocator;
    m.create(rows, cols, type);
}

void createZeroPlane(cv::Mat& m, int rows, int cols, int type)
{
    static PlaneAllocator allocator(true);
    m.release();
    m.allocator = &allocator;
    m.create(rows, cols, type);
}

void createPlane(cv::Mat& m, int rows, int cols, int type)
{
    if (m.rows == rows && m.cols == cols && m.type() == type && m.dims == 2) {
        return;
    }
    m.release();
    m.allocator = &writtenPlaneAllocator();
    m.create(rows, cols, type);
}

void createPlane(cv::Mat& m, cv::Size size, int type)
{
    createPlane(m, size.height, size.width, type);
}

ByteTable::ByteTable(const Operation& operation)
{
    // Row a of both operands: a repeated, and 0..255. One call covers the table.
    cv::Mat a(256, 256, CV_8UC1);
    cv::Mat b(256, 256, CV_8UC1);
    for (int i = 0; i < 256; ++i) {
        uchar* rowA = a.ptr<uchar>(i);
        uchar* rowB = b.ptr<uchar>(i);
        for (int j = 0; j < 256; ++j) {
            rowA[j] = static_cast<uchar>(i);
            rowB[j] = static_cast<uchar>(j);
        }
    }
    cv::Mat result;
    operation(a, b, result);
    CV_Assert(result.type() == CV_8UC1 && result.size() == a.size() && result.isContinuous());
    std::copy(result.ptr<uchar>(0), result.ptr<uchar>(0) + values.size(), values.begin());
}

const ByteTable& weighted()
{
    static const ByteTable table(
        [](const cv::Mat& a, const cv::Mat& b, cv::Mat& r) { cv::multiply(a, b, r, 1.0 / 255.0, CV_8U); });
    return table;
}

const ByteTable& normalised()
{
    static const ByteTable table(
        [](const cv::Mat& a, const cv::Mat& b, cv::Mat& r) { cv::divide(a, b, r, 255.0, CV_8U); });
    return table;
}

const ByteTable& maskedSingle()
{
    static const ByteTable table(
        [](const cv::Mat& a, const cv::Mat& b, cv::Mat& r) { r = a.mul(b, kInverse255Single); });
    return table;
}

bool keepsFullAndClearsNone(const ByteTable& table)
{
    for (int x = 0; x < 256; ++x) {
        const uchar value = static_cast<uchar>(x);
        if (table(value, 255) != value || table(value, 0) != 0) {
            return false;
        }
    }
    return true;
}

namespace {

// Whether any of the n bytes is non-zero.
inline bool anyNonZero(const uchar* bytes, int n)
{
    int i = 0;
#if CV_SIMD128
    const cv::v_uint8x16 zero = cv::v_setzero_u8();
    for (; i + 64 <= n; i += 64) {
        const cv::v_uint8x16 any = (cv::v_load(bytes + i) | cv::v_load(bytes + i + 16)) |
                                   (cv::v_load(bytes + i + 32) | cv::v_load(bytes + i + 48));
        if (cv::v_check_any(any != zero)) {
            return true;
        }
    }
#endif
    for (; i < n; ++i) {
        if (bytes[i] != 0) {
            return true;
        }
    }
    return false;
}

} // namespace

void prepareWrites(cv::Mat& plane, int row, const uchar* where, int cols)
{
    cv::Mat* planes[] = {&plane};
    prepareWrites(planes, 1, row, where, cols);
}

void prepareWrites(cv::Mat* const* planes, int count, int row, const uchar* where, int cols)
{
#ifdef MADV_POPULATE_WRITE
    static const std::uintptr_t page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    // Runs of the row's bytes (from its start) that lie on pages holding a
    // column to be written, found once for all planes whose row starts at the
    // same place within a page: planes of one size allocated alike.
    struct Run {
        std::uintptr_t begin;
        std::uintptr_t end;
    };
    thread_local std::vector<Run> runs;
    runs.clear();
    std::uintptr_t runsOffset = page; // no runs found yet
    for (int k = 0; k < count; ++k) {
        cv::Mat& plane = *planes[k];
        CV_Assert(plane.type() == CV_8UC1 && cols <= plane.cols);
        const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(plane.ptr<uchar>(row));
        const std::uintptr_t offset = start & (page - 1);
        if (offset != runsOffset) {
            runs.clear();
            runsOffset = offset;
            int c = 0;
            while (c < cols) {
                // Bytes of the row from c to the end of c's page.
                const std::uintptr_t pageBegin = (offset + static_cast<std::uintptr_t>(c)) & ~(page - 1);
                const int pageCols = static_cast<int>(
                    std::min<std::uintptr_t>(pageBegin + page - offset, static_cast<std::uintptr_t>(cols)) -
                    static_cast<std::uintptr_t>(c));
                if (anyNonZero(where + c, pageCols)) {
                    if (!runs.empty() && runs.back().end == pageBegin) {
                        runs.back().end = pageBegin + page;
                    } else {
                        runs.push_back({pageBegin, pageBegin + page});
                    }
                }
                c += pageCols;
            }
        }
        const std::uintptr_t base = start - offset;
        for (const Run& run : runs) {
            madvise(reinterpret_cast<void*>(base + run.begin), run.end - run.begin, MADV_POPULATE_WRITE);
        }
    }
#else
    (void)planes;
    (void)count;
    (void)row;
    (void)where;
    (void)cols;
#endif
}

void forRowBands(int rows, int bandRows, const std::function<void(int begin, int end)>& body)
{
    if (rows <= 0) {
        return;
    }
    bandRows = std::max(1, bandRows);
    const int bands = (rows + bandRows - 1) / bandRows;
    cv::parallel_for_(cv::Range(0, bands), [&](const cv::Range& range) {
        for (int band = range.start; band < range.end; ++band) {
            body(band * bandRows, std::min(rows, (band + 1) * bandRows));
        }
    });
}

int bandRowsFor(int cols, int planes)
{
    const long bytesPerBand = 512L * 1024L;
    const long perRow = std::max(1L, static_cast<long>(cols) * std::max(1, planes));
    return static_cast<int>(std::max(4L, std::min(256L, bytesPerBand / perRow)));
}

std::vector<cv::Range> nonZeroColumnRuns(const cv::Mat& plane, int rowBegin, int rowEnd)
{
    const int cols = plane.cols;
    std::vector<uchar> any(static_cast<std::size_t>(cols), 0);
    for (int r = rowBegin; r < rowEnd; ++r) {
        const uchar* row = plane.ptr<uchar>(r);
        int c = 0;
#if CV_SIMD128
        for (; c + 16 <= cols; c += 16) {
            cv::v_store(any.data() + c, cv::v_load(any.data() + c) | cv::v_load(row + c));
        }
#endif
        for (; c < cols; ++c) {
            any[static_cast<std::size_t>(c)] |= row[c];
        }
    }
    std::vector<cv::Range> runs;
    for (int c = 0; c < cols;) {
        if (any[static_cast<std::size_t>(c)] == 0) {
            ++c;
            continue;
        }
        int last = c + 1;
        while (last < cols && any[static_cast<std::size_t>(last)] != 0) {
            ++last;
        }
        runs.emplace_back(c, last);
        c = last;
    }
    return runs;
}

} // namespace PlaneKernels
} // namespace orb
