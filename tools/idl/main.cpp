// Writes the contract's IDL to standard output or to the file named; with
// --reference first, its reference page, and with --dbus first, the bus
// interface's introspection file instead.
#include <cstdio>
#include <cstring>
#include <fstream>

#include "contract/contract.h"
#include "contract/dbus.h"

namespace trelvane {

int Main(int argc, char** argv) {
    const char* kind = argc > 1 && std::strncmp(argv[1], "--", 2) == 0 ? argv[1] : nullptr;
    if (kind != nullptr) --argc, ++argv;
    if (argc > 2 || (kind != nullptr && std::strcmp(kind, "--reference") != 0 && std::strcmp(kind, "--dbus") != 0)) {
        std::fputs("Usage: trelvane-idl [--reference | --dbus] [FILE]\n", stderr);
        return 2;
    }
    const std::string text = kind == nullptr                         ? contract::RenderIdl()
                             : std::strcmp(kind, "--reference") == 0 ? contract::RenderReference()
                                                                     : contract::dbus::RenderInterfaceFile();
    if (argc > 1) {
        std::ofstream out(argv[1], std::ios::binary);
        out << text;
        return out ? 0 : 1;
    }
    std::fwrite(text.data(), 1, text.size(), stdout);
    return 0;
}

}  // namespace trelvane

int main(int argc, char** argv) { return trelvane::Main(argc, argv); }
