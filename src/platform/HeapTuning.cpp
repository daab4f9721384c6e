#include "HeapTuning.h"

#include <cstdlib> // defines __GLIBC__ on glibc

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace Orvex {

bool HeapTuning::apply()
{
#if defined(__GLIBC__)
    // Setting it at all turns off the threshold's adjustment.
    return mallopt(M_MMAP_THRESHOLD, largeBlockBytes) == 1;
#else
    return false;
#endif
}

} // namespace Orvex
