// What activation will pay on every cold start to find the server: the
// ProgID's CLSID and the class's LocalServer32 command line, read through
// both stores of a registry that also holds other classes. Printed beside
// plain reads of the two store files measured in the same run.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/stats.h"
#include "platform/windows.h"
#include "tests/support/test_env.h"

namespace trelvane {
namespace {

using Clock = std::chrono::steady_clock;

void Write(const std::u16string& path, const std::u16string& text) {
    HKEY key = nullptr;
    RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr);
    RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                   static_cast<DWORD>((text.size() + 1) * sizeof(WCHAR)));
    RegCloseKey(key);
}

// A class as registration writes it, with a ProgID.
void AddClass(int n) {
    const std::u16string clsid =
        platform::FromUtf8("{00000000-0000-0000-0000-" + std::to_string(100000000000 + n) + "}");
    const std::u16string progId = platform::FromUtf8("Other.Class" + std::to_string(n));
    Write(progId + u"\\CLSID", clsid);
    Write(u"CLSID\\" + clsid, u"Other Object");
    Write(u"CLSID\\" + clsid + u"\\LocalServer32", u"\"/usr/bin/other\"");
}

// The lookup activation makes: ProgID to CLSID to command line.
bool Lookup() {
    CLSID clsid{};
    if (CLSIDFromProgID(u"Trelvane.Tarvik", &clsid) != S_OK) return false;
    WCHAR name[CHARS_IN_GUID];
    StringFromGUID2(clsid, name, CHARS_IN_GUID);
    HKEY key = nullptr;
    const std::u16string path = u"CLSID\\" + std::u16string(name) + u"\\LocalServer32";
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    WCHAR command[MAX_PATH + 2];
    DWORD size = sizeof command;
    const bool ok = RegQueryValueExW(key, nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(command), &size) == 0;
    RegCloseKey(key);
    return ok;
}

double Micros(Clock::time_point from) { return std::chrono::duration<double, std::micro>(Clock::now() - from).count(); }

}  // namespace

int Main(int argc, char** argv) {
    const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    const int count = quick ? 500 : 5000;
    trelvane::testing::TempHome home;
    const std::string machine = home.Path() + "/machine";
    trelvane::testing::ScopedEnvironment machineStore("TRELVANE_MACHINE_REGISTRY", machine.c_str());
    {
        trelvane::testing::ScopedEnvironment scope("TRELVANE_REGISTRY_SCOPE", "machine");
        for (int n = 0; n < 40; ++n) AddClass(n);
    }
    for (int n = 40; n < 60; ++n) AddClass(n);
    Write(u"Trelvane.Tarvik\\CLSID", u"{979033AA-C8F3-4158-A797-255164FEA439}");
    Write(u"CLSID\\{979033AA-C8F3-4158-A797-255164FEA439}\\LocalServer32", u"\"/usr/bin/trelvane\"");

    std::vector<double> raw, lookups;
    for (int round = 0; round < trelvane::bench::kRounds; ++round) {
        for (int i = 0; i < count / trelvane::bench::kRounds; ++i) {
            auto start = Clock::now();
            const std::size_t bytes = trelvane::testing::ReadFile(home.Path() + "/registry/classes.reg").size() +
                                      trelvane::testing::ReadFile(machine + "/classes.reg").size();
            raw.push_back(Micros(start));
            if (bytes == 0) return 1;
            start = Clock::now();
            if (!Lookup()) return 1;
            lookups.push_back(Micros(start));
        }
    }
    std::printf("Registry, 60 other classes in two stores, %d lookups (%s)\n", count, quick ? "quick run" : "full run");
    trelvane::bench::PrintRow("read both store files (baseline)", raw);
    trelvane::bench::PrintRow("ProgID -> CLSID -> LocalServer32", lookups, &raw, "file reads");
    return 0;
}

}  // namespace trelvane

int main(int argc, char** argv) { return trelvane::Main(argc, argv); }
