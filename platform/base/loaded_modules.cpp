#include "platform/base/loaded_modules.h"

#include <elf.h>
#include <link.h>

#include <climits>
#include <cstdlib>
#include <string>

#include "platform/base/characters.h"
#include "platform/base/utf8.h"

namespace {

struct Search {
    std::u16string name;  // upper-cased
    bool wholePath;       // the name holds a folder
    bool executable;      // null was asked for
    HMODULE found = nullptr;
};

// The file the executable was loaded from (the loader gives it no name).
std::string ExecutablePath() {
    char path[PATH_MAX];
    return ::realpath("/proc/self/exe", path) ? path : "";
}

std::u16string UpperCased(const std::string& text) {
    std::u16string wide = platform::FromUtf8(text);
    if (!wide.empty()) CharUpperW(wide.data());
    return wide;
}

bool Matches(const Search& search, const std::string& path) {
    const std::string file = path.substr(path.rfind('/') + 1);
    return UpperCased(search.wholePath ? path : file) == search.name;
}

// Where the object's image starts: its first loaded segment.
HMODULE ImageStart(const dl_phdr_info& info) {
    for (int i = 0; i < info.dlpi_phnum; ++i)
        if (info.dlpi_phdr[i].p_type == PT_LOAD)
            return reinterpret_cast<HMODULE>(info.dlpi_addr + info.dlpi_phdr[i].p_vaddr);
    return reinterpret_cast<HMODULE>(info.dlpi_addr);
}

int Visit(dl_phdr_info* info, std::size_t, void* data) {
    auto& search = *static_cast<Search*>(data);
    const bool isExecutable = info->dlpi_name == nullptr || info->dlpi_name[0] == '\0';
    if (search.executable ? isExecutable
                          : Matches(search, isExecutable ? ExecutablePath() : std::string(info->dlpi_name))) {
        search.found = ImageStart(*info);
        return 1;
    }
    return 0;
}

}  // namespace

HMODULE GetModuleHandleW(LPCWSTR lpModuleName) {
    Search search;
    search.executable = lpModuleName == nullptr;
    if (!search.executable) {
        search.name = lpModuleName;
        if (!search.name.empty()) CharUpperW(search.name.data());
        search.wholePath = search.name.find(u'/') != std::u16string::npos;
    }
    ::dl_iterate_phdr(Visit, &search);
    if (search.found == nullptr) SetLastError(ERROR_MOD_NOT_FOUND);
    return search.found;
}
