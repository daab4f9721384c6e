#pragma once

namespace Orvex {

// How the C allocator serves this long-running process.
//
// glibc raises its threshold for serving a block from its own mapping each
// time such a block is freed, so after the first large image the client's
// pixmaps and backing stores (tens to hundreds of kilobytes, made and freed
// on every status change and alert) come from the main heap. Small blocks
// that outlive them settle between, the heap cannot shrink, and its size
// creeps up with every tunnel switch. A fixed threshold keeps large blocks in
// mappings of their own, returned to the system as soon as they are freed.
class HeapTuning final
{
public:
    HeapTuning() = delete;

    // Call once, early in main(). Answers false where the allocator takes no
    // such setting (a sanitizer's, another libc's).
    static bool apply();

    // The size from which a block gets a mapping of its own.
    static constexpr int largeBlockBytes = 128 * 1024;
};

} // namespace Orvex
