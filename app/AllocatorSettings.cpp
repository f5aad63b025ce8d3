#include "app/AllocatorSettings.h"

#include <malloc.h>

void keepLargeBlocksOnTheHeap()
{
    mallopt(M_MMAP_MAX, 0);
    // Without mmap, a thread's own arena cannot hold a 50 MB block and every such
    // request falls back to the main arena after a failed try; with one arena, blocks
    // freed by any thread (worker threads stitch whole frames in the batch tool) are
    // reused by all.
    mallopt(M_ARENA_MAX, 1);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
}
