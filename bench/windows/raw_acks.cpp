// Wine's own serial path with no code of ours, the baseline of the
// acknowledge benchmark under Wine (bench/wine_ack_latency.cpp):
//     bench_raw_acks <COM number> [calls]
// Opens the port as the driver does (overlapped, 68 baud 8N1, reads that
// return at once, the driver's event mask), writes "ready" on its standard
// output, and answers every byte with 0xF0: a plain loop of WaitCommEvent,
// ReadFile and WriteFile, until its standard input ends. With "calls" it
// makes as well the other system calls the driver makes for a byte (the
// event reset before the wait, the wait on the event, ClearCommError, the
// event set after a read or write that completed at once), which tells the
// system's cost of those calls from the cost of the driver's own code. The
// system's calls only, so the system's header rather than ours.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <iostream>
#include <string>
#include <thread>

namespace {

constexpr DWORD kDriverMask = EV_RXCHAR | EV_CTS | EV_DSR | EV_RLSD | EV_BREAK | EV_ERR;

bool Fail(const char* call) {
    std::fprintf(stderr, "bench_raw_acks: %s failed: %lu\n", call, GetLastError());
    return false;
}

bool g_driverCalls = false;  // "calls"

// Completes an overlapped read or write as it returned (started: its result).
bool Complete(HANDLE port, OVERLAPPED& ov, DWORD* count, BOOL started, const char* call) {
    if (started) {
        if (g_driverCalls) SetEvent(ov.hEvent);
    } else if (GetLastError() != ERROR_IO_PENDING) {
        return Fail(call);
    }
    return GetOverlappedResult(port, &ov, count, TRUE) || Fail(call);
}

// Answers bytes until the mask is taken away (the stop).
bool Echo(HANDLE port, const std::atomic<bool>& stopping) {
    OVERLAPPED wait{}, io{};
    wait.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    io.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    bool ok = wait.hEvent && io.hEvent;
    while (ok) {
        DWORD events = 0, count = 0;
        if (g_driverCalls) ResetEvent(wait.hEvent);
        const BOOL started = WaitCommEvent(port, &events, &wait);
        if (!started && GetLastError() != ERROR_IO_PENDING) {
            ok = stopping.load() || Fail("WaitCommEvent");
            break;
        }
        if (g_driverCalls) WaitForSingleObject(wait.hEvent, INFINITE);
        // The stop's empty mask ends the wait: with 995 under Wine, with no
        // events on Windows, and then the next wait fails.
        if (!GetOverlappedResult(port, &wait, &count, TRUE)) {
            ok = stopping.load() || Fail("WaitCommEvent");
            break;
        }
        DWORD errors = 0;
        if (g_driverCalls) ClearCommError(port, &errors, nullptr);
        if (!(events & EV_RXCHAR)) continue;
        unsigned char byte = 0;
        DWORD got = 0;
        ok = Complete(port, io, &got, ReadFile(port, &byte, 1, &got, &io), "ReadFile");
        static const unsigned char acknowledge = 0xF0;
        if (ok && got == 1) ok = Complete(port, io, &count, WriteFile(port, &acknowledge, 1, &count, &io), "WriteFile");
    }
    if (wait.hEvent) CloseHandle(wait.hEvent);
    if (io.hEvent) CloseHandle(io.hEvent);
    return ok;
}

bool Configure(HANDLE port) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port, &dcb)) return Fail("GetCommState");
    dcb.BaudRate = 68;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    if (!SetCommState(port, &dcb)) return Fail("SetCommState");
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;  // a read returns what is there
    if (!SetCommTimeouts(port, &timeouts)) return Fail("SetCommTimeouts");
    return SetCommMask(port, kDriverMask) || Fail("SetCommMask");
}

}  // namespace

int main(int argc, char** argv) {
    g_driverCalls = argc == 3 && std::string(argv[2]) == "calls";
    if (argc != 2 && !g_driverCalls) {
        std::fprintf(stderr, "usage: bench_raw_acks <COM number> [calls]\n");
        return 2;
    }
    const std::string number = argv[1];
    const std::wstring name = L"\\\\.\\COM" + std::wstring(number.begin(), number.end());
    const HANDLE port = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        Fail("CreateFile");
        return 1;
    }
    bool ok = Configure(port);
    if (ok) {
        std::cout << "ready" << std::endl;
        std::atomic<bool> stopping{false};
        std::thread input([port, &stopping] {
            for (std::string line; std::getline(std::cin, line);) {
            }
            stopping.store(true);
            SetCommMask(port, 0);  // ends the outstanding wait
        });
        ok = Echo(port, stopping);
        input.join();  // a failed echo waits for the caller, who ends the input when the answers stop
    }
    CloseHandle(port);
    return ok ? 0 : 1;
}
