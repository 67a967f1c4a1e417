#include "tests/driver/driver_server.h"

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "tests/support/server_process.h"

namespace trelvane::testing {

namespace {

using namespace std::chrono_literals;

class ServerOfTheDriver final : public DriverServer {
public:
    ServerOfTheDriver()
        : m_process(TRELVANE_TEST_SERVER, {"-Embedding"}, {"TRELVANE_TEST_SHUTDOWN_MS=0", "TRELVANE_TEST_PAUSE_MS=0"}) {
    }
    bool Start(const std::string& home) {
        WCHAR clsid[CHARS_IN_GUID];
        StringFromGUID2(contract::CLSID_CTarvik, clsid, CHARS_IN_GUID);
        return m_process.Start() && m_process.WaitServing(ClassSocketPath(home, platform::ToUtf8(clsid)), 10s);
    }
    std::string Finish() override {
        const int status = m_process.Wait(10s);
        if (status != 0) return "the server ended with status " + std::to_string(status);
        return m_process.Errors();
    }

private:
    ServerProcess m_process;
};

}  // namespace

std::unique_ptr<DriverServer> StartDriverServer(const std::string& home, ITarvik** tarvik) {
    auto server = std::make_unique<ServerOfTheDriver>();
    if (!server->Start(home)) {
        ADD_FAILURE() << "the server program did not start serving";
        return nullptr;
    }
    const HRESULT hr = CoCreateInstance(contract::CLSID_CTarvik, nullptr, CLSCTX_LOCAL_SERVER, contract::IID_ITarvik,
                                        reinterpret_cast<void**>(tarvik));
    if (hr != S_OK) {
        ADD_FAILURE() << "CoCreateInstance: " << std::hex << hr;
        return nullptr;
    }
    return server;
}

}  // namespace trelvane::testing
