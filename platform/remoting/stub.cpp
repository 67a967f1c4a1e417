// Running what comes in: a request is checked against what this side has
// handed to the peer, run by the interface's stub on the apartment's
// thread, and answered; an event is run and not answered; a release gives
// references back. A peer that names an object, interface or method it was
// not given, or sends malformed arguments, is disconnected. An exception that
// an object of this side lets out of a method is caught, logged and, for a
// call, answered with RPC_E_SERVERFAULT.
#include <exception>
#include <string>

#include "platform/base/utf8.h"
#include "platform/remoting/apartment.h"
#include "platform/remoting/class_table.h"
#include "platform/remoting/dispatch_stub.h"
#include "platform/remoting/objbase.h"
#include "platform/remoting/proxy_manager.h"
#include "platform/remoting/socket.h"

namespace platform::remoting {
namespace {

using wire::FrameType;

void PutErrorInfo(Writer& w, bool failed) {
    IErrorInfo* info = nullptr;
    if (!failed || GetErrorInfo(0, &info) != S_OK || info == nullptr) {
        w.U8(0);
        return;
    }
    GUID guid = GUID_NULL;
    BSTR source = nullptr, description = nullptr, helpFile = nullptr;
    DWORD context = 0;
    info->GetGUID(&guid);
    info->GetSource(&source);
    info->GetDescription(&description);
    info->GetHelpFile(&helpFile);
    info->GetHelpContext(&context);
    info->Release();
    w.U8(1);
    w.Guid(guid);
    w.Bstr(source);
    w.Bstr(description);
    w.Bstr(helpFile);
    w.U32(context);
    SysFreeString(source);
    SysFreeString(description);
    SysFreeString(helpFile);
}

void RunQueryInterface(IUnknown* object, StubCall& call) {
    const GUID iid = call.in.Guid();
    if (!call.in.AtEnd()) return;
    IUnknown* itf = nullptr;
    call.hr = FindInterface(iid) ? object->QueryInterface(iid, reinterpret_cast<void**>(&itf)) : E_NOINTERFACE;
    call.connection.PutObject(call.out, SUCCEEDED(call.hr) ? itf : nullptr, iid);
    if (itf) itf->Release();
}

void RunGetClassObject(StubCall& call) {
    const GUID clsid = call.in.Guid();
    const GUID iid = call.in.Guid();
    if (!call.in.AtEnd()) return;
    IUnknown* itf = nullptr;
    call.hr =
        FindInterface(iid) ? QueryRegisteredClassObject(clsid, call.connection.Owner(), iid, &itf) : E_NOINTERFACE;
    call.connection.PutObject(call.out, SUCCEEDED(call.hr) ? itf : nullptr, iid);
    if (itf) itf->Release();
}

// The class object's IClassFactory and its CreateInstance, as a client's
// two calls would run them, with the instance's error information.
void RunCreateClassInstance(StubCall& call) {
    const GUID clsid = call.in.Guid();
    const GUID iid = call.in.Guid();
    if (!call.in.AtEnd()) return;
    IUnknown* factory = nullptr;
    IUnknown* instance = nullptr;
    call.hr = FindInterface(iid)
                  ? QueryRegisteredClassObject(clsid, call.connection.Owner(), IID_IClassFactory, &factory)
                  : E_NOINTERFACE;
    if (SUCCEEDED(call.hr))
        call.hr =
            static_cast<IClassFactory*>(factory)->CreateInstance(nullptr, iid, reinterpret_cast<void**>(&instance));
    call.connection.PutObject(call.out, SUCCEEDED(call.hr) ? instance : nullptr, iid);
    if (instance) instance->Release();
    if (factory) factory->Release();
}

// A reply that carries a failure alone: no error information, no results.
void SendFailure(Connection& connection, std::uint32_t callId, HRESULT hr) {
    Writer failure = BeginFrame(&connection, FrameType::Reply);
    failure.U32(callId);
    failure.I32(hr);
    failure.U8(0);  // no error information
    failure.U8(0);  // no results
    EndFrame(failure);
    connection.Send(std::move(failure.Bytes()));
}

// An object of this side let an exception out of a method the peer called
// (a sink that throws, say). It goes no further: the caller gets
// RPC_E_SERVERFAULT (an event has nobody to tell), and it is logged here.
void ThrewException(Connection& connection, REFIID iid, std::uint16_t method, bool event,
                    std::exception_ptr exception) {
    SetErrorInfo(0, nullptr);
    std::string what = "not a standard exception";
    try {
        std::rethrow_exception(std::move(exception));
    } catch (const std::exception& error) {
        what = error.what();
    } catch (...) {
    }
    WCHAR name[CHARS_IN_GUID];
    StringFromGUID2(iid, name, CHARS_IN_GUID);
    Log("method %u of %s threw an exception (%s) in %s from the peer at pid %ld", static_cast<unsigned>(method),
        ToUtf8(name).c_str(), what.c_str(), event ? "an event" : "a call", connection.PeerPid());
}

// Runs one call on a handed object; a description of the peer's fault, or null.
const char* Execute(std::uint32_t objectId, REFIID iid, std::uint16_t method, StubCall& call) {
    Connection& connection = call.connection;
    if (objectId == wire::kClassTable) {
        if (connection.GetSide() != Connection::Side::Server || !(iid == GUID_NULL) ||
            (method != wire::method::kGetClassObject &&
             (method != wire::method::kCreateClassInstance || !ClassTableCreatesInstances())))
            return "a call to the class table it cannot make";
        if (method == wire::method::kGetClassObject)
            RunGetClassObject(call);
        else
            RunCreateClassInstance(call);
        return call.in.AtEnd() ? nullptr : "malformed arguments";
    }
    IUnknown* object = connection.HandedInterface(objectId, iid);
    if (object == nullptr) return "a call to an object or interface it was not given";
    ComPtr<IUnknown> hold = ComPtr<IUnknown>::Attach(object);  // alive even if released during the call
    const InterfaceMarshaller* marshaller = FindInterface(iid);
    if (method == wire::method::kQueryInterface) {
        RunQueryInterface(object, call);
    } else if (method < 3 || marshaller == nullptr || method >= marshaller->slots) {
        return "an unknown method";
    } else if (marshaller->dispatchBased && method <= wire::method::kInvoke) {
        RunDispatchMethod(reinterpret_cast<IDispatch*>(object), method, call);
    } else if (marshaller->stub == nullptr || !marshaller->stub(object, method, call)) {
        return "malformed arguments";
    }
    return call.in.AtEnd() ? nullptr : "malformed arguments";
}

void RunRequest(Connection& connection, Reader& r, bool event) {
    const std::uint32_t callId = event ? 0 : r.U32();
    const std::uint32_t objectId = r.U32();
    const GUID iid = r.Guid();
    const std::uint16_t method = r.U16();
    if (!r.Ok()) {
        connection.Misbehaved("a truncated request");
        return;
    }
    if (event && (connection.GetSide() != Connection::Side::Client || method != wire::method::kInvoke)) {
        connection.Misbehaved("an event it may not send");
        return;
    }
    // A call that came in while this thread waits for a peer, too deep inside
    // other such calls: it would grow the stack without bound.
    if (!event && Apartment::Current()->TooDeep(connection)) {
        SendFailure(connection, callId, RPC_E_CALL_REJECTED);
        return;
    }
    Writer results(&connection);
    StubCall call{connection, r, results};
    SetErrorInfo(0, nullptr);  // only what this call sets goes back with it
    const char* fault = nullptr;
    try {
        fault = Execute(objectId, iid, method, call);
    } catch (...) {
        ThrewException(connection, iid, method, event, std::current_exception());
        if (!event) SendFailure(connection, callId, RPC_E_SERVERFAULT);
        return;
    }
    if (fault) {
        connection.Misbehaved(fault);
        return;
    }
    if (event) {
        SetErrorInfo(0, nullptr);  // an event's outcome goes nowhere
        return;
    }
    Writer reply = BeginFrame(&connection, FrameType::Reply);
    reply.U32(callId);
    reply.I32(call.hr);
    PutErrorInfo(reply, FAILED(call.hr));
    reply.U8(1);  // the results follow
    reply.Raw(results.Bytes().data(), results.Size());
    EndFrame(reply);
    // Results larger than a frame: the caller gets the failure alone.
    if (connection.Send(std::move(reply.Bytes())) == E_INVALIDARG) SendFailure(connection, callId, E_INVALIDARG);
}

}  // namespace

void RunIncoming(Connection& connection, std::vector<BYTE>& frame) {
    Reader r(frame.data(), frame.size(), &connection);
    switch (static_cast<FrameType>(r.U8())) {
    case FrameType::Request: RunRequest(connection, r, false); return;
    case FrameType::Event: RunRequest(connection, r, true); return;
    case FrameType::Release: {
        const std::uint32_t id = r.U32();
        const std::uint32_t count = r.U32();
        if (!r.AtEnd() || !connection.ReleaseExport(id, count))
            connection.Misbehaved("a release of references it does not hold");
        return;
    }
    default: connection.Misbehaved("an unknown frame type");
    }
}

}  // namespace platform::remoting
