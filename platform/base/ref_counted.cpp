#include "platform/base/ref_counted.h"

namespace platform {

// Out of line on purpose: inlined into a class with several bases, GCC 12
// takes the virtual destructor's delete for a free of a non-heap pointer.
ULONG RefCounted::ReleaseImpl() {
    const ULONG left = --m_refs;
    if (left == 0) delete this;
    return left;
}

}  // namespace platform
