// Compiled against one area's view of platform/ with PROBE_HEADER naming a
// header of some area: it builds only if that area may use the header's.
#include PROBE_HEADER
