#include "tests/driver/apartment.h"

namespace trelvane::testing {

HRESULT EnterTestApartment() { return CoInitialize(nullptr); }

}  // namespace trelvane::testing
