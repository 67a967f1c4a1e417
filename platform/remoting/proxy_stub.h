// Proxies and stubs as an interface's own marshalling code writes them.
//
// A proxy is a class with the interface's vtable whose methods send their
// arguments to the object in the other process: DualProxy<I> answers
// IDispatch's methods, and each method of I is one line that hands its
// typed arguments to CallTyped. A stub runs the methods on the real object:
// TypedStubs<first slot, &I::Method...> reads each method's [in] arguments,
// calls it and writes its [out] values. Both take the types of the C++
// signature (LONG, SHORT, VARIANT_BOOL, FLOAT, BSTR, and pointers to them
// for [out]), so that proxy, stub and vtable cannot disagree.
#pragma once

#include <cstdint>
#include <memory>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/objects/oaidl.h"
#include "platform/remoting/codec.h"
#include "platform/remoting/marshallers.h"
#include "platform/remoting/wire.h"

namespace platform::remoting {

// A non-owning reference to something callable, for callbacks that run
// before the call that takes them returns.
template <class Signature>
class FunctionRef;
template <class R, class... A>
class FunctionRef<R(A...)> {
public:
    // Not for FunctionRef itself, which copies as the reference it is.
    template <class F, class = std::enable_if_t<!std::is_same_v<std::remove_cvref_t<F>, FunctionRef>>>
    FunctionRef(F&& f)  // implicit, so that a lambda can be passed where one is taken
        : m_object(const_cast<void*>(static_cast<const void*>(std::addressof(f)))),
          m_call([](void* object, A... args) -> R {
              return (*static_cast<std::remove_reference_t<F>*>(object))(std::forward<A>(args)...);
          }) {}
    R operator()(A... args) const { return m_call(m_object, std::forward<A>(args)...); }

private:
    void* m_object;
    R (*m_call)(void*, A...);
};

class ProxyManager;

// The part that every interface proxy shares: the remote object it stands
// for, the interface, and the call.
class InterfaceProxy {
public:
    InterfaceProxy(ProxyManager& manager, REFIID iid) : m_manager(manager), m_iid(iid) {}
    virtual ~InterfaceProxy() = default;
    InterfaceProxy(const InterfaceProxy&) = delete;
    InterfaceProxy& operator=(const InterfaceProxy&) = delete;
    // This proxy as a pointer of its interface.
    virtual IUnknown* Interface() = 0;

    REFIID Iid() const { return m_iid; }
    // One call: encode writes the arguments, decode reads the results. The
    // method's HRESULT, or the transport's failure (decode does not run then).
    HRESULT Call(UINT method, FunctionRef<void(Writer&)> encode, FunctionRef<void(Reader&)> decode);
    // Invoke on this proxy goes one-way: events, from a server to a client's sink.
    bool InvokeIsOneWay() const;
    // A one-way call: sent and never answered.
    HRESULT Post(UINT method, FunctionRef<void(Writer&)> encode);
    // A call whose one result is an object reference, for iid, into *out.
    HRESULT CallForObject(UINT method, REFIID iid, FunctionRef<void(Writer&)> encode, void** out);

    // The remote object's IUnknown.
    HRESULT QueryObject(REFIID riid, void** ppv);
    ULONG AddRefObject();
    ULONG ReleaseObject();

private:
    ProxyManager& m_manager;
    const IID m_iid;
};

// An interface proxy with the vtable of I.
template <class I>
class ProxyOf : public I, public InterfaceProxy {
public:
    ProxyOf(ProxyManager& manager, REFIID iid) : InterfaceProxy(manager, iid) {}
    IUnknown* Interface() override { return static_cast<I*>(this); }
    HRESULT QueryInterface(REFIID riid, void** ppv) override { return QueryObject(riid, ppv); }
    ULONG AddRef() override { return AddRefObject(); }
    ULONG Release() override { return ReleaseObject(); }

protected:
    // Sends the method at slot with its [in] arguments and fills its [out]
    // ones from the reply. A null [out] pointer gives E_POINTER at once.
    template <class... A>
    HRESULT CallTyped(UINT slot, A... args);
};

template <class P>
InterfaceProxy* MakeProxy(ProxyManager& manager, REFIID iid) {
    return new P(manager, iid);
}

// IDispatch's methods, for any proxy of a dispatch-based interface.
HRESULT ProxyGetTypeInfoCount(InterfaceProxy& proxy, UINT* pctinfo);
HRESULT ProxyGetTypeInfo(InterfaceProxy& proxy, UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo);
HRESULT ProxyGetIDsOfNames(InterfaceProxy& proxy, REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                           DISPID* rgDispId);
HRESULT ProxyInvoke(InterfaceProxy& proxy, DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                    DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr);

// How one parameter type of a C++ signature crosses: in by value, or [out]
// through a pointer.
template <class T>
struct Param;

template <class T>
requires std::is_arithmetic_v<T>
struct Param<T> {
    static constexpr bool kOut = false;
    using Storage = T;
    static bool Given(T) { return true; }
    static void Put(Writer& w, T value) { w.Raw(&value, sizeof value); }
    static void Get(Reader&, T) {}
    static void Read(Reader& r, T& s) { r.Raw(&s, sizeof s); }
    static T Arg(T& s) { return s; }
    static void Write(Writer&, T&) {}
    static void Free(T&) {}
};

template <>
struct Param<BSTR> {
    static constexpr bool kOut = false;
    using Storage = BSTR;
    static bool Given(BSTR) { return true; }
    static void Put(Writer& w, BSTR value) { w.Bstr(value); }
    static void Get(Reader&, BSTR) {}
    static void Read(Reader& r, BSTR& s) { r.Bstr(&s); }
    static BSTR Arg(BSTR& s) { return s; }
    static void Write(Writer&, BSTR&) {}
    static void Free(BSTR& s) { SysFreeString(s); }
};

template <class T>
requires std::is_arithmetic_v<T>
struct Param<T*> {
    static constexpr bool kOut = true;
    using Storage = T;
    static bool Given(T* p) { return p != nullptr; }
    // The caller's value goes along, so that a method that leaves it
    // untouched leaves it untouched for a caller in another process too.
    static void Put(Writer& w, T* p) { w.Raw(p, sizeof *p); }
    static void Get(Reader& r, T* p) { r.Raw(p, sizeof *p); }
    static void Read(Reader& r, T& s) { r.Raw(&s, sizeof s); }
    static T* Arg(T& s) { return &s; }
    static void Write(Writer& w, T& s) { w.Raw(&s, sizeof s); }
    static void Free(T&) {}
};

template <>
struct Param<BSTR*> {
    static constexpr bool kOut = true;
    using Storage = BSTR;
    static bool Given(BSTR* p) { return p != nullptr; }
    static void Put(Writer&, BSTR*) {}
    static void Get(Reader& r, BSTR* p) { r.Bstr(p); }
    static void Read(Reader&, BSTR& s) { s = nullptr; }
    static BSTR* Arg(BSTR& s) { return &s; }
    static void Write(Writer& w, BSTR& s) { w.Bstr(s); }
    static void Free(BSTR& s) { SysFreeString(s); }
};

// What a parameter looks like on the wire, to hold a signature against a
// contract's description of it.
struct ParamShape {
    std::uint8_t size;  // bytes of a number; 0 for a string
    bool out;
    bool operator==(const ParamShape&) const = default;
};
// The shape a description's VARTYPE asks for (VT_BYREF marks [out]).
ParamShape ShapeOf(VARTYPE type);

template <class T>
constexpr ParamShape ShapeOfParam() {
    using Value = std::conditional_t<Param<T>::kOut, std::remove_pointer_t<T>, T>;
    if constexpr (std::is_same_v<Value, BSTR>)
        return {0, Param<T>::kOut};
    else
        return {static_cast<std::uint8_t>(sizeof(Value)), Param<T>::kOut};
}

template <class M>
struct MethodTraits;
template <class C, class... A>
struct MethodTraits<HRESULT (C::*)(A...)> {
    using Class = C;
    static constexpr std::size_t kArity = sizeof...(A);
    static std::vector<ParamShape> Shapes() { return {ShapeOfParam<A>()...}; }
};

// A proxy of the dual interface I: IDispatch's methods as for any
// dispatch-based interface; I's own are written with CallTyped.
template <class I>
class DualProxy : public ProxyOf<I> {
public:
    using ProxyOf<I>::ProxyOf;
    HRESULT GetTypeInfoCount(UINT* pctinfo) override { return ProxyGetTypeInfoCount(*this, pctinfo); }
    HRESULT GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override {
        return ProxyGetTypeInfo(*this, iTInfo, lcid, ppTInfo);
    }
    HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid, DISPID* rgDispId) override {
        return ProxyGetIDsOfNames(*this, riid, rgszNames, cNames, lcid, rgDispId);
    }
    HRESULT Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags, DISPPARAMS* pDispParams,
                   VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) override {
        return ProxyInvoke(*this, dispIdMember, riid, lcid, wFlags, pDispParams, pVarResult, pExcepInfo, puArgErr);
    }
};

template <class I>
template <class... A>
HRESULT ProxyOf<I>::CallTyped(UINT slot, A... args) {
    if (!(Param<A>::Given(args) && ...)) return E_POINTER;
    return this->Call(
        slot, [&](Writer& w) { (Param<A>::Put(w, args), ...); }, [&](Reader& r) { (Param<A>::Get(r, args), ...); });
}

using DispatchProxy = DualProxy<IDispatch>;

template <class C, class... A, std::size_t... K>
bool RunTyped(C* object, HRESULT (C::*method)(A...), StubCall& call, std::index_sequence<K...>) {
    std::tuple<typename Param<A>::Storage...> storage{};
    // Freed however the call ends, an exception of the object's included.
    struct Free {
        std::tuple<typename Param<A>::Storage...>& storage;
        ~Free() { (Param<A>::Free(std::get<K>(storage)), ...); }
    } free{storage};
    (Param<A>::Read(call.in, std::get<K>(storage)), ...);
    if (!call.in.AtEnd()) return false;
    call.hr = (object->*method)(Param<A>::Arg(std::get<K>(storage))...);
    (Param<A>::Write(call.out, std::get<K>(storage)), ...);
    return true;
}

// Runs one method from its typed signature.
template <auto Method>
bool TypedStub(void* object, StubCall& call) {
    using Traits = MethodTraits<decltype(Method)>;
    return RunTyped(static_cast<typename Traits::Class*>(object), Method, call,
                    std::make_index_sequence<Traits::kArity>{});
}

// The stub of an interface whose own methods start at First (a vtable
// slot), one per method pointer in vtable order.
template <std::uint16_t First, auto... Methods>
bool TypedStubs(void* object, std::uint16_t slot, StubCall& call) {
    using Run = bool (*)(void*, StubCall&);
    static constexpr Run kTable[] = {&TypedStub<Methods>...};
    return slot >= First && slot - First < static_cast<int>(sizeof...(Methods)) && kTable[slot - First](object, call);
}

// The shapes of each method's parameters, in vtable order.
template <auto... Methods>
std::vector<std::vector<ParamShape>> ShapesOf() {
    return {MethodTraits<decltype(Methods)>::Shapes()...};
}

}  // namespace platform::remoting
