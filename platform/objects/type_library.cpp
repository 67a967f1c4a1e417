#include "platform/objects/type_library.h"

#include <memory>
#include <new>
#include <type_traits>

#include "platform/base/text_case.h"

namespace platform {
namespace {

BSTR Copy(LPCOLESTR text) { return text ? SysAllocString(text) : nullptr; }

bool IsRetval(const ParamDesc& p) { return (p.flags & PARAMFLAG_FRETVAL) != 0; }

INVOKEKIND InvokeKindOf(MemberKind kind) {
    switch (kind) {
    case MemberKind::PropertyGet: return INVOKE_PROPERTYGET;
    case MemberKind::PropertyPut: return INVOKE_PROPERTYPUT;
    default: return INVOKE_FUNC;
    }
}

// One allocation for a FUNCDESC and everything it points to; the FUNCDESC
// comes first so that ReleaseFuncDesc can find the whole block.
struct FuncDescExtras {
    std::vector<ELEMDESC> params;
    std::vector<std::unique_ptr<TYPEDESC>> pointees;
};
struct FuncDescBlock {
    FUNCDESC desc;
    FuncDescExtras* extras;
    ~FuncDescBlock() { delete extras; }
};
static_assert(std::is_standard_layout_v<FuncDescBlock>);

TYPEDESC TypeOf(VARTYPE type, FuncDescExtras& block) {
    TYPEDESC t{};
    if (type & VT_BYREF) {
        auto pointee = std::make_unique<TYPEDESC>();
        pointee->vt = type & ~VT_BYREF;
        t.vt = VT_PTR;
        t.lptdesc = pointee.get();
        block.pointees.push_back(std::move(pointee));
    } else {
        t.vt = type;
    }
    return t;
}

class TypeLibrary;

class TypeInfo final : public ITypeInfo {
public:
    TypeInfo(TypeLibrary* library, UINT index, const InterfaceDesc* iface, const CoclassDesc* coclass)
        : m_library(library), m_index(index), m_iface(iface), m_coclass(coclass) {}

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_ITypeInfo) {
            *ppv = static_cast<ITypeInfo*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    // A type info lives as long as its library.
    ULONG AddRef() override;
    ULONG Release() override;

    HRESULT GetTypeAttr(TYPEATTR** out) override;
    HRESULT GetTypeComp(ITypeComp**) override { return E_NOTIMPL; }
    HRESULT GetFuncDesc(UINT index, FUNCDESC** out) override;
    HRESULT GetVarDesc(UINT, VARDESC**) override { return TYPE_E_ELEMENTNOTFOUND; }
    HRESULT GetNames(MEMBERID memid, BSTR* names, UINT cMax, UINT* count) override;
    HRESULT GetRefTypeOfImplType(UINT index, HREFTYPE* out) override;
    HRESULT GetImplTypeFlags(UINT index, INT* out) override;
    HRESULT GetIDsOfNames(LPOLESTR* names, UINT count, MEMBERID* ids) override;
    HRESULT Invoke(void*, MEMBERID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override { return E_NOTIMPL; }
    HRESULT GetDocumentation(MEMBERID memid, BSTR* name, BSTR* doc, DWORD* context, BSTR* helpFile) override;
    HRESULT GetDllEntry(MEMBERID, INVOKEKIND, BSTR*, BSTR*, WORD*) override { return TYPE_E_ELEMENTNOTFOUND; }
    HRESULT GetRefTypeInfo(HREFTYPE href, ITypeInfo** out) override;
    HRESULT AddressOfMember(MEMBERID, INVOKEKIND, void**) override { return E_NOTIMPL; }
    HRESULT CreateInstance(IUnknown*, REFIID, void**) override { return E_NOTIMPL; }
    HRESULT GetMops(MEMBERID, BSTR* out) override {
        if (out) *out = nullptr;
        return S_OK;
    }
    HRESULT GetContainingTypeLib(ITypeLib** library, UINT* index) override;
    void ReleaseTypeAttr(TYPEATTR* attr) override { delete attr; }
    void ReleaseFuncDesc(FUNCDESC* desc) override { delete reinterpret_cast<FuncDescBlock*>(desc); }
    void ReleaseVarDesc(VARDESC*) override {}

private:
    const MemberDesc* FindMember(MEMBERID memid) const {
        if (!m_iface) return nullptr;
        for (const auto& m : m_iface->members)
            if (m.dispid == memid) return &m;
        return nullptr;
    }

    TypeLibrary* m_library;
    UINT m_index;
    const InterfaceDesc* m_iface;
    const CoclassDesc* m_coclass;
};

class TypeLibrary final : public ITypeLib, public RefCounted {
public:
    explicit TypeLibrary(const LibraryDesc& desc) : m_desc(desc) {
        UINT index = 0;
        for (const auto* iface : desc.interfaces)
            m_infos.push_back(std::make_unique<TypeInfo>(this, index++, iface, nullptr));
        for (const auto* coclass : desc.coclasses)
            m_infos.push_back(std::make_unique<TypeInfo>(this, index++, nullptr, coclass));
    }

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_ITypeLib) {
            *ppv = static_cast<ITypeLib*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return AddRefImpl(); }
    ULONG Release() override { return ReleaseImpl(); }

    UINT GetTypeInfoCount() override { return static_cast<UINT>(m_infos.size()); }
    HRESULT GetTypeInfo(UINT index, ITypeInfo** out) override {
        if (out == nullptr) return E_INVALIDARG;
        if (index >= m_infos.size()) return TYPE_E_ELEMENTNOTFOUND;
        *out = m_infos[index].get();
        (*out)->AddRef();
        return S_OK;
    }
    HRESULT GetTypeInfoType(UINT index, TYPEKIND* out) override {
        if (out == nullptr) return E_INVALIDARG;
        if (index >= m_infos.size()) return TYPE_E_ELEMENTNOTFOUND;
        *out = index < m_desc.interfaces.size() ? TKIND_DISPATCH : TKIND_COCLASS;
        return S_OK;
    }
    HRESULT GetTypeInfoOfGuid(REFGUID guid, ITypeInfo** out) override {
        if (out == nullptr) return E_INVALIDARG;
        for (UINT i = 0; i < m_desc.interfaces.size(); ++i)
            if (m_desc.interfaces[i]->iid == guid) return GetTypeInfo(i, out);
        for (UINT i = 0; i < m_desc.coclasses.size(); ++i)
            if (m_desc.coclasses[i]->clsid == guid)
                return GetTypeInfo(static_cast<UINT>(m_desc.interfaces.size()) + i, out);
        *out = nullptr;
        return TYPE_E_ELEMENTNOTFOUND;
    }
    HRESULT GetLibAttr(TLIBATTR** out) override {
        if (out == nullptr) return E_INVALIDARG;
        *out = new (std::nothrow) TLIBATTR{m_desc.libid, 0, SYS_WIN64, m_desc.majorVersion, m_desc.minorVersion, 0};
        return *out ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT GetTypeComp(ITypeComp**) override { return E_NOTIMPL; }
    HRESULT GetDocumentation(INT index, BSTR* name, BSTR* doc, DWORD* context, BSTR* helpFile) override {
        if (index == -1) {
            if (name) *name = Copy(m_desc.name);
            if (doc) *doc = Copy(m_desc.help);
            if (context) *context = 0;
            if (helpFile) *helpFile = nullptr;
            return S_OK;
        }
        if (index < 0 || static_cast<std::size_t>(index) >= m_infos.size()) return TYPE_E_ELEMENTNOTFOUND;
        return m_infos[static_cast<std::size_t>(index)]->GetDocumentation(MEMBERID_NIL, name, doc, context, helpFile);
    }
    HRESULT IsName(LPOLESTR name, ULONG, BOOL* found) override {
        if (name == nullptr || found == nullptr) return E_INVALIDARG;
        *found = FALSE;
        for (const auto* iface : m_desc.interfaces) {
            if (EqualNoCase(iface->name, name)) *found = TRUE;
            for (const auto& m : iface->members)
                if (EqualNoCase(m.name, name)) *found = TRUE;
        }
        for (const auto* coclass : m_desc.coclasses)
            if (EqualNoCase(coclass->name, name)) *found = TRUE;
        return S_OK;
    }
    HRESULT FindName(LPOLESTR, ULONG, ITypeInfo**, MEMBERID*, USHORT*) override { return E_NOTIMPL; }
    void ReleaseTLibAttr(TLIBATTR* attr) override { delete attr; }

    const LibraryDesc& Desc() const { return m_desc; }
    UINT IndexOf(const InterfaceDesc* iface) const {
        for (UINT i = 0; i < m_desc.interfaces.size(); ++i)
            if (m_desc.interfaces[i] == iface) return i;
        return 0xFFFFFFFF;
    }

private:
    const LibraryDesc& m_desc;
    std::vector<std::unique_ptr<TypeInfo>> m_infos;
};

ULONG TypeInfo::AddRef() { return m_library->AddRef(); }
ULONG TypeInfo::Release() { return m_library->Release(); }

HRESULT TypeInfo::GetTypeAttr(TYPEATTR** out) {
    if (out == nullptr) return E_INVALIDARG;
    auto* attr = new (std::nothrow) TYPEATTR{};
    if (attr == nullptr) return E_OUTOFMEMORY;
    attr->memidConstructor = MEMBERID_NIL;
    attr->memidDestructor = MEMBERID_NIL;
    attr->cbSizeInstance = sizeof(void*);
    attr->cbAlignment = alignof(void*);
    attr->wMajorVerNum = m_library->Desc().majorVersion;
    attr->wMinorVerNum = m_library->Desc().minorVersion;
    if (m_iface) {
        attr->guid = m_iface->iid;
        attr->typekind = TKIND_DISPATCH;
        attr->cFuncs = static_cast<WORD>(m_iface->members.size());
        const bool dual = m_iface->kind == InterfaceKind::Dual;
        attr->cbSizeVft = static_cast<WORD>((7 + (dual ? m_iface->members.size() : 0)) * sizeof(void*));
        attr->wTypeFlags =
            dual ? (TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE) : TYPEFLAG_FDISPATCHABLE;
    } else {
        attr->guid = m_coclass->clsid;
        attr->typekind = TKIND_COCLASS;
        attr->cImplTypes = static_cast<WORD>(m_coclass->implemented.size());
        attr->wTypeFlags = TYPEFLAG_FCANCREATE;
    }
    *out = attr;
    return S_OK;
}

HRESULT TypeInfo::GetFuncDesc(UINT index, FUNCDESC** out) {
    if (out == nullptr) return E_INVALIDARG;
    if (!m_iface || index >= m_iface->members.size()) return TYPE_E_ELEMENTNOTFOUND;
    const MemberDesc& member = m_iface->members[index];
    auto holder = std::make_unique<FuncDescBlock>();
    holder->extras = new FuncDescExtras;
    FuncDescExtras* block = holder->extras;
    FUNCDESC& d = holder->desc;
    d = FUNCDESC{};
    d.memid = member.dispid;
    d.funckind = FUNC_DISPATCH;
    d.invkind = InvokeKindOf(member.kind);
    d.callconv = CC_STDCALL;
    d.oVft = m_iface->kind == InterfaceKind::Dual ? static_cast<SHORT>((7 + index) * sizeof(void*)) : SHORT{0};
    d.elemdescFunc.tdesc.vt = VT_VOID;
    for (const auto& p : member.params) {
        if (IsRetval(p)) {  // the dispatch view returns it
            d.elemdescFunc.tdesc.vt = p.type & ~VT_BYREF;
            continue;
        }
        ELEMDESC e{};
        e.tdesc = TypeOf(p.type, *block);
        e.paramdesc.wParamFlags = p.flags;
        block->params.push_back(e);
    }
    d.cParams = static_cast<SHORT>(block->params.size());
    d.lprgelemdescParam = block->params.empty() ? nullptr : block->params.data();
    *out = &holder.release()->desc;
    return S_OK;
}

HRESULT TypeInfo::GetNames(MEMBERID memid, BSTR* names, UINT cMax, UINT* count) {
    if (names == nullptr || count == nullptr) return E_INVALIDARG;
    *count = 0;
    const MemberDesc* member = FindMember(memid);
    if (!member) return TYPE_E_ELEMENTNOTFOUND;
    if (cMax > 0) names[(*count)++] = Copy(member->name);
    for (const auto& p : member->params)
        if (!IsRetval(p) && p.name && *count < cMax) names[(*count)++] = Copy(p.name);
    return S_OK;
}

HRESULT TypeInfo::GetRefTypeOfImplType(UINT index, HREFTYPE* out) {
    if (out == nullptr) return E_INVALIDARG;
    if (!m_coclass || index >= m_coclass->implemented.size()) return TYPE_E_ELEMENTNOTFOUND;
    *out = m_library->IndexOf(m_coclass->implemented[index].iface);
    return S_OK;
}

HRESULT TypeInfo::GetImplTypeFlags(UINT index, INT* out) {
    if (out == nullptr) return E_INVALIDARG;
    if (!m_coclass || index >= m_coclass->implemented.size()) return TYPE_E_ELEMENTNOTFOUND;
    *out = m_coclass->implemented[index].flags;
    return S_OK;
}

HRESULT TypeInfo::GetIDsOfNames(LPOLESTR* names, UINT count, MEMBERID* ids) {
    if (names == nullptr || ids == nullptr || count == 0) return E_INVALIDARG;
    const MemberDesc* member = nullptr;
    if (m_iface)
        for (const auto& m : m_iface->members)
            if (names[0] && EqualNoCase(m.name, names[0])) {
                member = &m;
                break;
            }
    HRESULT hr = S_OK;
    ids[0] = member ? member->dispid : MEMBERID_NIL;
    if (!member) hr = DISP_E_UNKNOWNNAME;
    for (UINT i = 1; i < count; ++i) {
        ids[i] = MEMBERID_NIL;
        if (member)
            for (std::size_t k = 0; k < member->params.size(); ++k)
                if (names[i] && member->params[k].name && EqualNoCase(member->params[k].name, names[i]))
                    ids[i] = static_cast<MEMBERID>(k);
        if (ids[i] == MEMBERID_NIL) hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
}

HRESULT TypeInfo::GetDocumentation(MEMBERID memid, BSTR* name, BSTR* doc, DWORD* context, BSTR* helpFile) {
    LPCOLESTR n, h;
    if (memid == MEMBERID_NIL) {
        n = m_iface ? m_iface->name : m_coclass->name;
        h = m_iface ? m_iface->help : m_coclass->help;
    } else {
        const MemberDesc* member = FindMember(memid);
        if (!member) return TYPE_E_ELEMENTNOTFOUND;
        n = member->name;
        h = member->help;
    }
    if (name) *name = Copy(n);
    if (doc) *doc = Copy(h);
    if (context) *context = 0;
    if (helpFile) *helpFile = nullptr;
    return S_OK;
}

HRESULT TypeInfo::GetRefTypeInfo(HREFTYPE href, ITypeInfo** out) {
    if (out == nullptr) return E_INVALIDARG;
    return m_library->GetTypeInfo(href, out);
}

HRESULT TypeInfo::GetContainingTypeLib(ITypeLib** library, UINT* index) {
    if (library) {
        *library = m_library;
        m_library->AddRef();
    }
    if (index) *index = m_index;
    return S_OK;
}

}  // namespace

HRESULT CreateTypeLibFromDesc(const LibraryDesc& desc, ITypeLib** library) {
    if (library == nullptr) return E_INVALIDARG;
    *library = new (std::nothrow) TypeLibrary(desc);
    return *library ? S_OK : E_OUTOFMEMORY;
}

HRESULT LoadTypeLibOfDesc(const LibraryDesc& desc, ITypeLib** library) { return CreateTypeLibFromDesc(desc, library); }

}  // namespace platform
