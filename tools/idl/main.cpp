// Writes the contract's IDL to standard output (or to the file named); with
// --dbus first, the bus interface's introspection file instead.
#include <cstdio>
#include <cstring>
#include <fstream>

#include "contract/dbus.h"

int main(int argc, char** argv) {
    const bool dbus = argc > 1 && std::strcmp(argv[1], "--dbus") == 0;
    if (dbus) --argc, ++argv;
    const std::string text = dbus ? contract::dbus::RenderInterfaceFile() : contract::RenderIdl();
    if (argc > 1) {
        std::ofstream out(argv[1], std::ios::binary);
        out << text;
        return out ? 0 : 1;
    }
    std::fwrite(text.data(), 1, text.size(), stdout);
    return 0;
}
