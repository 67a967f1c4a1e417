// Test doubles for the automation layer: an object whose members record
// their calls, and event sinks that record, fail or re-enter.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "driver/automation_object.h"
#include "platform/windows.h"
#include "tools/testsupport/dispatch_sink.h"

namespace trelvane::testing {

inline std::string Utf8(BSTR text) { return text ? platform::ToUtf8(std::u16string(text, SysStringLen(text))) : "(null)"; }

// Every member records its name and arguments; getters return fixed values.
class RecordingObject : public driver::AutomationObject {
public:
    static RecordingObject* Create() { return new RecordingObject; }  // one reference for the caller

    std::vector<std::string> calls;
    LONG openStatus = 0;
    HRESULT failWith = S_OK;  // what every member returns

    HRESULT Record(std::string call) {
        calls.push_back(std::move(call));
        return failWith;
    }
    HRESULT Open(LONG PortNumber, LONG* Status) override {
        *Status = openStatus;
        return Record("Open " + std::to_string(PortNumber));
    }
    HRESULT Close() override { return Record("Close"); }
    HRESULT ResetStartPost() override { return Record("ResetStartPost"); }
    HRESULT StartNumberOK(LONG n) override { return Record("StartNumberOK " + std::to_string(n)); }
    HRESULT get_PortNumber(LONG* v) override { return *v = 3, Record("get_PortNumber"); }
    HRESULT get_StartNumber(LONG* v) override { return *v = 123, Record("get_StartNumber"); }
    HRESULT get_InterCharacterTimeout(LONG* v) override { return *v = 1500, Record("get_InterCharacterTimeout"); }
    HRESULT put_InterCharacterTimeout(LONG v) override { return Record("put_InterCharacterTimeout " + std::to_string(v)); }
    HRESULT get_StateDTR(VARIANT_BOOL* v) override { return *v = VARIANT_TRUE, Record("get_StateDTR"); }
    HRESULT put_StateDTR(VARIANT_BOOL v) override { return Record("put_StateDTR " + std::to_string(v)); }
    HRESULT get_StateStartPost(VARIANT_BOOL* v) override { return *v = VARIANT_FALSE, Record("get_StateStartPost"); }
    HRESULT get_StateFinishPost(VARIANT_BOOL* v) override { return *v = VARIANT_TRUE, Record("get_StateFinishPost"); }
    HRESULT StartBatteryTest(BSTR s) override { return Record("StartBatteryTest " + Utf8(s)); }

    HRESULT put_StartNumberTest(LONG v) override { return Record("put_StartNumberTest " + std::to_string(v)); }
    HRESULT get_ReadyToSend(VARIANT_BOOL* v) override { return *v = VARIANT_FALSE, Record("get_ReadyToSend"); }
    HRESULT put_ReadyToSend(VARIANT_BOOL v) override { return Record("put_ReadyToSend " + std::to_string(v)); }
    HRESULT get_Parity(BSTR* v) override { return *v = SysAllocString(u"None"), Record("get_Parity"); }
    HRESULT put_Parity(BSTR v) override { return Record("put_Parity " + Utf8(v)); }
    HRESULT get_BaudRate(LONG* v) override { return *v = 68, Record("get_BaudRate"); }
    HRESULT put_BaudRate(LONG v) override { return Record("put_BaudRate " + std::to_string(v)); }
    HRESULT get_DataBits(SHORT* v) override { return *v = 8, Record("get_DataBits"); }
    HRESULT put_DataBits(SHORT v) override { return Record("put_DataBits " + std::to_string(v)); }
    HRESULT get_StopBits(FLOAT* v) override { return *v = 1.0f, Record("get_StopBits"); }
    HRESULT put_StopBits(FLOAT v) override { return Record("put_StopBits " + std::to_string(v)); }
    HRESULT get_ParityCheck(VARIANT_BOOL* v) override { return *v = VARIANT_FALSE, Record("get_ParityCheck"); }
    HRESULT put_ParityCheck(VARIANT_BOOL v) override { return Record("put_ParityCheck " + std::to_string(v)); }
    HRESULT WriteToPort(BSTR s) override { return Record("WriteToPort " + Utf8(s)); }
    HRESULT get_StateDSR(VARIANT_BOOL* v) override { return *v = VARIANT_TRUE, Record("get_StateDSR"); }
    HRESULT get_StateCTS(VARIANT_BOOL* v) override { return *v = VARIANT_FALSE, Record("get_StateCTS"); }

private:
    RecordingObject() = default;
};

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
