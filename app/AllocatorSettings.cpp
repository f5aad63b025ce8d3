#include "app/AllocatorSettings.h"

#include <malloc.h>

void keepLargeBlocksOnTheHeap()
{
    mallopt(M_MMAP_MAX, 0);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
}
