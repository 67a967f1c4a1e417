// The recording object in this process, or in a second one (served by
// trelvane-test-host --recording) where a control object reads its calls
// and sets its answers.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/driver/placement.h"
#include "tests/driver/test_objects.h"
#include "tests/support/host_process.h"
#include "tests/support/test_env.h"

namespace trelvane::testing {

class RecordingTest : public ::testing::TestWithParam<Placement> {
protected:
    bool Remote() const { return RunsOutOfProcess(*this); }

    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
        if (Remote()) {
            host = std::make_unique<HostProcess>(TRELVANE_TEST_HOST, std::vector<std::string>{"--recording"});
            ASSERT_TRUE(host->Start());
            ASSERT_EQ(CoCreateInstance(contract::CLSID_CTarvik, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown,
                                       reinterpret_cast<void**>(object.Out())),
                      S_OK);
            ASSERT_EQ(CoCreateInstance(CLSID_RecordingControl, nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch,
                                       reinterpret_cast<void**>(control.Out())),
                      S_OK);
        } else {
            local = platform::ComPtr<RecordingObject>::Attach(RecordingObject::Create());
            local->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(object.Out()));
        }
        ASSERT_EQ(object->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(container.Out())),
                  S_OK);
    }
    void TearDown() override {
        container.Reset();
        object.Reset();
        control.Reset();
        local.Reset();
        if (host) {
            EXPECT_EQ(host->Stop(), 0);
        }
        CoUninitialize();
    }

    std::vector<std::string> Calls() {
        if (!Remote()) return local->calls;
        VARIANT all;
        VariantInit(&all);
        DISPPARAMS none{nullptr, nullptr, 0, 0};
        EXPECT_EQ(
            control->Invoke(RecordingControl::kCalls, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &all, nullptr, nullptr),
            S_OK);
        std::vector<std::string> calls;
        std::istringstream lines(Utf8(all.bstrVal));
        for (std::string line; std::getline(lines, line);) calls.push_back(line);
        VariantClear(&all);
        return calls;
    }
    void SetOpenStatus(LONG status) { Steer(RecordingControl::kOpenStatus, status, &RecordingObject::openStatus); }
    void SetFailWith(HRESULT hr) { Steer(RecordingControl::kFailWith, hr, &RecordingObject::failWith); }
    // Raises an event as any client can: through the object's own event
    // interface. args in parameter order; the raise's result.
    HRESULT Raise(REFIID iid, DISPID id, std::vector<VARIANT> args) {
        platform::ComPtr<IDispatch> events;
        EXPECT_EQ(object->QueryInterface(iid, reinterpret_cast<void**>(events.Out())), S_OK);
        std::reverse(args.begin(), args.end());
        DISPPARAMS params{args.empty() ? nullptr : args.data(), nullptr, static_cast<UINT>(args.size()), 0};
        return events->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr);
    }

    TempHome home;  // the classes' sockets of this test alone
    std::unique_ptr<HostProcess> host;
    platform::ComPtr<IUnknown> object;  // the recording object (or its proxy)
    platform::ComPtr<IConnectionPointContainer> container;
    platform::ComPtr<IDispatch> control;      // in the other process only
    platform::ComPtr<RecordingObject> local;  // in this process only

private:
    template <class T>
    void Steer(DISPID id, LONG value, T RecordingObject::*field) {
        if (!Remote()) {
            local.Get()->*field = value;
            return;
        }
        VARIANT arg = platform::VariantI4(value);
        DISPPARAMS params{&arg, nullptr, 1, 0};
        EXPECT_EQ(control->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYPUT, &params, nullptr, nullptr, nullptr), S_OK);
    }
};

}  // namespace trelvane::testing
