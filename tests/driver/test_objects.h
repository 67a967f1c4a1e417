// Test doubles for the automation layer: the recording object
// (tests/support/recording_object.h), and event sinks that record, fail
// or re-enter.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/windows.h"
#include "tests/support/dispatch_sink.h"
#include "tests/support/recording_object.h"

namespace trelvane::testing {

// A sink for one dispinterface: records "dispid:arg,arg" per call.
class RecordingSink final : public DispatchSink {
public:
    explicit RecordingSink(REFIID iid) : DispatchSink(iid) {}

    std::vector<std::string> Calls() {
        std::lock_guard lock(m_mutex);
        return m_calls;
    }
    HRESULT failWith = S_OK;
    std::function<void()> duringCall;  // runs inside each call, before it is recorded

    HRESULT Invoke(DISPID id, REFIID, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT*, EXCEPINFO* ex,
                   UINT*) override {
        if (duringCall) duringCall();
        std::string call = std::to_string(id) + ":";
        for (UINT i = params->cArgs; i-- > 0;) {  // back into parameter order
            const VARIANT& a = params->rgvarg[i];
            switch (a.vt) {
            case VT_I4: call += "I4 " + std::to_string(a.lVal); break;
            case VT_BSTR: call += "BSTR " + Utf8(a.bstrVal); break;
            case VT_BOOL: call += "BOOL " + std::to_string(a.boolVal); break;
            case VT_R4: call += "R4 " + std::to_string(a.fltVal); break;
            default: call += "vt" + std::to_string(a.vt); break;
            }
            if (i) call += ",";
        }
        EXPECT_EQ(lcid, LOCALE_USER_DEFAULT);
        EXPECT_EQ(flags, DISPATCH_METHOD);
        {
            std::lock_guard lock(m_mutex);
            m_calls.push_back(call);
        }
        if (FAILED(failWith) && ex) {
            ex->bstrSource = SysAllocString(u"sink");
            ex->bstrDescription = SysAllocString(u"sink failed");
            ex->scode = failWith;
        }
        return failWith;
    }

private:
    std::mutex m_mutex;
    std::vector<std::string> m_calls;
};

}  // namespace trelvane::testing
