// Writes the contract's IDL, or with --reference its reference page, to
// standard output or to the file named.
#include <cstdio>
#include <cstring>
#include <fstream>

#include "contract/contract.h"

int main(int argc, char** argv) {
    const bool reference = argc > 1 && std::strcmp(argv[1], "--reference") == 0;
    if (reference) --argc, ++argv;
    if (argc > 2) {
        std::fputs("Usage: trelvane-idl [--reference] [FILE]\n", stderr);
        return 2;
    }
    const std::string text = reference ? contract::RenderReference() : contract::RenderIdl();
    if (argc > 1) {
        std::ofstream out(argv[1], std::ios::binary);
        out << text;
        return out ? 0 : 1;
    }
    std::fwrite(text.data(), 1, text.size(), stdout);
    return 0;
}
