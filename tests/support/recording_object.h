// A test double of the driver object whose members record their calls, and
// a control object that reads and steers one in another process (served by
// trelvane-test-host --recording).
#pragma once

#include <string>
#include <vector>

#include "driver/automation_object.h"
#include "platform/windows.h"
#include "tests/support/dispatch_sink.h"
#include "tests/support/singleton_factory.h"

namespace trelvane::testing {

inline std::string Utf8(BSTR text) {
    return text ? platform::ToUtf8(std::u16string(text, SysStringLen(text))) : "(null)";
}

// Every member records its name and arguments; getters return fixed values.
class RecordingObject : public driver::AutomationObject {
public:
    static RecordingObject* Create() { return new RecordingObject; }  // one reference for the caller

    std::vector<std::string> calls;
    LONG openStatus = 0;
    HRESULT failWith = S_OK;  // what every member returns

    // A failing member also sets the thread's error information, as a
    // member that explains its failure would.
    HRESULT Record(std::string call) {
        calls.push_back(std::move(call));
        if (FAILED(failWith)) SetError(u"recorded failure");
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
    HRESULT put_InterCharacterTimeout(LONG v) override {
        return Record("put_InterCharacterTimeout " + std::to_string(v));
    }
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
    static void SetError(LPCOLESTR description) {
        platform::ComPtr<ICreateErrorInfo> create;
        if (FAILED(CreateErrorInfo(create.Out()))) return;
        create->SetDescription(const_cast<LPOLESTR>(description));
        platform::ComPtr<IErrorInfo> info;
        if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(info.Out()))))
            SetErrorInfo(0, info.Get());
    }
};

// The recording object seen from another process: Calls (DISPID 1, get:
// the calls, one per line), OpenStatus (2, put) and FailWith (3, put).
inline constexpr CLSID CLSID_RecordingControl{
    0x5E0B9D31, 0x2A77, 0x4C08, {0xB3, 0x5C, 0x81, 0x0F, 0x6D, 0x42, 0xE9, 0x17}};

class RecordingControl final : public DispatchSink {
public:
    enum : DISPID { kCalls = 1, kOpenStatus = 2, kFailWith = 3 };

    explicit RecordingControl(SingletonFactory<RecordingObject>* objects)
        : DispatchSink(IID_IDispatch), m_objects(objects) {}

    HRESULT Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT* result, EXCEPINFO*, UINT*) override {
        RecordingObject* object = m_objects->Object();
        if (object == nullptr) return E_UNEXPECTED;
        if (id == kCalls && result) {
            std::string all;
            for (const auto& call : object->calls) all += call + "\n";
            const std::u16string text = platform::FromUtf8(all);
            result->vt = VT_BSTR;
            result->bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
            return S_OK;
        }
        if (params == nullptr || params->cArgs != 1 || params->rgvarg[0].vt != VT_I4) return DISP_E_BADPARAMCOUNT;
        if (id == kOpenStatus)
            object->openStatus = params->rgvarg[0].lVal;
        else if (id == kFailWith)
            object->failWith = params->rgvarg[0].lVal;
        else
            return DISP_E_MEMBERNOTFOUND;
        return S_OK;
    }

private:
    ~RecordingControl() override = default;
    const platform::ComPtr<SingletonFactory<RecordingObject>> m_objects;
};

}  // namespace trelvane::testing
