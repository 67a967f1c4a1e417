// A property of the driver object read from another apartment over the
// class's socket, through the vtable proxy and through Invoke, beside a raw
// round trip of the same size over a Unix stream socket pair. The server is
// a thread of this process (as the echo's other end is), reached through
// its socket like any other process would. Rounds interleave the three.
#include <cstdio>
#include <cstring>

#include "bench/stats.h"
#include "driver/tarvik.h"
#include "tests/support/raw_echo.h"
#include "tests/support/server_thread.h"
#include "tests/support/singleton_factory.h"
#include "tests/support/test_env.h"

namespace trelvane {

int Main(int argc, char** argv) {
    const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    const int count = quick ? 2000 : 20000;
    // A request for a LONG property: length, type, call id, object id,
    // interface, method and the caller's value (35 bytes); its reply is smaller.
    constexpr std::size_t kRequestBytes = 35;
    trelvane::testing::TempHome home;
    using Factory = trelvane::testing::SingletonFactory<CTarvik>;
    const auto factory = platform::ComPtr<Factory>::Attach(new Factory);
    int status = 0;
    {
        trelvane::testing::ServerThread server(contract::CLSID_CTarvik, factory.Get());
        CoInitialize(nullptr);
        platform::ComPtr<ITarvik> tarvik;
        if (FAILED(CoCreateInstance(contract::CLSID_CTarvik, nullptr, CLSCTX_LOCAL_SERVER, contract::IID_ITarvik,
                                    reinterpret_cast<void**>(tarvik.Out())))) {
            std::fprintf(stderr, "cannot create the driver object in the server thread\n");
            return 1;
        }
        LONG value = 0;
        DISPPARAMS none{nullptr, nullptr, 0, 0};
        VARIANT result;
        VariantInit(&result);
        auto vtable = [&] { tarvik->get_InterCharacterTimeout(&value); };
        auto invoke = [&] { tarvik->Invoke(9, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr); };
        trelvane::bench::TimeEach(500, vtable);  // warm-up
        trelvane::bench::TimeEach(500, invoke);
        std::vector<double> raw, viaVtable, viaInvoke;
        const int perRound = count / trelvane::bench::kRounds;
        for (int round = 0; round < trelvane::bench::kRounds; ++round) {
            trelvane::bench::Append(raw, trelvane::testing::RawEchoRoundTrips(perRound, kRequestBytes));
            trelvane::bench::Append(viaVtable, trelvane::bench::TimeEach(perRound, vtable));
            trelvane::bench::Append(viaInvoke, trelvane::bench::TimeEach(perRound, invoke));
        }
        if (value != 1500 || result.vt != VT_I4 || result.lVal != 1500) status = 1;
        tarvik.Reset();
        CoUninitialize();
        std::printf("A property read in another apartment, %d calls (%s)\n", count, quick ? "quick run" : "full run");
        trelvane::bench::PrintRow("raw round trip, 35 bytes each way (baseline)", raw);
        trelvane::bench::PrintRow("get_InterCharacterTimeout through the proxy", viaVtable, &raw);
        trelvane::bench::PrintRow("InterCharacterTimeout through Invoke", viaInvoke, &raw);
    }
    return status;
}

}  // namespace trelvane

int main(int argc, char** argv) { return trelvane::Main(argc, argv); }
