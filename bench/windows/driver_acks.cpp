// The driver object under Wine, in process, for the acknowledge benchmark
// (bench/wine_ack_latency.cpp plays the device at the pty behind the port):
//     bench_driver_acks <COM number>
// Opens the port, writes "ready" on its standard output, and acknowledges
// frame bytes as the driver does, with no sink connected, until its standard
// input ends; then closes the port.
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "driver/tarvik.h"
#include "platform/windows.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: bench_driver_acks <COM number>\n");
        return 2;
    }
    if (const HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); FAILED(hr)) {
        std::fprintf(stderr, "bench_driver_acks: CoInitializeEx failed: 0x%08lx\n", static_cast<unsigned long>(hr));
        return 1;
    }
    int code = 0;
    {
        auto driver = platform::ComPtr<trelvane::CTarvik>::Attach(trelvane::CTarvik::Create());
        LONG status = -1;
        const HRESULT opened = driver->Open(std::atoi(argv[1]), &status);
        if (opened != S_OK || status != 0) {
            std::fprintf(stderr, "bench_driver_acks: cannot open COM%s: 0x%08lx, status %ld\n", argv[1],
                         static_cast<unsigned long>(opened), static_cast<long>(status));
            code = 1;
        } else {
            std::cout << "ready" << std::endl;
            for (std::string line; std::getline(std::cin, line);) {
            }
            driver->Close();
        }
    }
    CoUninitialize();
    return code;
}
