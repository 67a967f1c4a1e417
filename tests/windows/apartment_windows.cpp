#include "tests/driver/apartment.h"

namespace trelvane::testing {

HRESULT EnterTestApartment() { return CoInitializeEx(nullptr, COINIT_MULTITHREADED); }

}  // namespace trelvane::testing
