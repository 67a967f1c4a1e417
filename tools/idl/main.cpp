// Writes the contract's IDL to standard output (or to the file named).
#include <cstdio>
#include <fstream>

#include "contract/contract.h"

int main(int argc, char** argv) {
    const std::string idl = contract::RenderIdl();
    if (argc > 1) {
        std::ofstream out(argv[1], std::ios::binary);
        out << idl;
        return out ? 0 : 1;
    }
    std::fwrite(idl.data(), 1, idl.size(), stdout);
    return 0;
}
