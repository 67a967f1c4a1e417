#include <cstdio>

#include "tools/ctl/advice.h"

namespace trelvane::ctl {

std::string ResultText(HRESULT hr) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(hr));
    return std::string(code) + " (" + SystemMessageText(static_cast<DWORD>(hr)) + ")";
}

}  // namespace trelvane::ctl
