#pragma once

// The full stitch allocates and frees many 50 MB planes. Served by fresh mappings,
// each one costs a round of page faults; kept on the heap and reused, they do not.
// Output is unchanged; peak memory grows by a few tens of MB. Called once, first
// thing in the process.
void keepLargeBlocksOnTheHeap();
