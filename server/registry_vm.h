// CRegistryVirtualMachine: runs a registration tree (a static description
// of registry keys and values) in registration or removal mode, with a
// table of placeholders for the strings marked to be expanded.
#pragma once

#include <span>

#include "server/registration.h"

namespace trelvane::server {

// Kinds of node. Plain: opened or created; removed with all below it.
// Kept: opened or created; never removed. Replaced: removed with all below
// it, then created; removed like a plain key. Value: a named value of the
// enclosing key, written on registration, untouched on removal.
enum class NodeKind { Plain, Kept, Replaced, Value };

// A string of the tree's table: used as it is, or expanded first.
struct RegString {
    LPCOLESTR text;
    bool expand;
};

constexpr int kNone = -1;

// name and data index the string table; a key's data is its default value.
struct RegNode {
    NodeKind kind;
    int name;
    int data;
    std::span<const RegNode> children;  // keys and named values, in order
};

struct RegTree {
    HKEY root;
    std::span<const RegString> strings;
    std::span<const RegNode> nodes;
};

// The module's full path into a buffer of MAX_PATH characters: the
// platform's last error when there is none, 0x8007007A when it was cut.
HRESULT ModuleFileName(HMODULE module, WCHAR (&path)[MAX_PATH]);

class CRegistryVirtualMachine : public IRegistrarBase {
public:
    CRegistryVirtualMachine() = default;
    CRegistryVirtualMachine(const CRegistryVirtualMachine&) = delete;
    CRegistryVirtualMachine& operator=(const CRegistryVirtualMachine&) = delete;

    // Answers for IUnknown and IRegistrarBase with itself. The machine lives
    // for one registration call on the stack: its count is not kept.
    HRESULT QueryInterface(REFIID riid, void** ppvObject) override;
    ULONG AddRef() override { return 1; }
    ULONG Release() override { return 1; }
    HRESULT AddReplacement(LPCOLESTR key, LPCOLESTR item) override { return AddPlaceholder(key, item); }
    HRESULT ClearReplacements() override;
    virtual ~CRegistryVirtualMachine() = default;

    // Copies both; either missing gives E_INVALIDARG, a failed copy E_OUTOFMEMORY.
    HRESULT AddPlaceholder(LPCOLESTR name, LPCOLESTR value);
    // "Module" (quoted for the process's executable), "Module_Raw",
    // "MODULEGUID" and "MODULETYPE", then the module's common placeholders.
    // A path that fills MAX_PATH gives 0x8007007A.
    HRESULT AddModulePlaceholders(IRegistrationModule& module);
    // Registry errors end the run with the Win32 error as HRESULT; a string
    // that cannot be expanded with E_FAIL. What was written stays.
    HRESULT Run(const RegTree& tree, bool registering);

private:
    HRESULT String(const RegTree& tree, int index, platform::WString* out) const;
    HRESULT Nodes(const RegTree& tree, HKEY parent, std::span<const RegNode> nodes, bool registering);
    HRESULT RegisterKey(const RegTree& tree, HKEY parent, const RegNode& node, const platform::WString& name);
    HRESULT RemoveKey(const RegTree& tree, HKEY parent, const RegNode& node, const platform::WString& name);

    platform::PlaceholderTable m_placeholders;
};

}  // namespace trelvane::server
