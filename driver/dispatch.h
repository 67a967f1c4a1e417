// Late binding for the contract's interfaces: name lookup from the fixed
// tables, type information, and Invoke with the contract's argument rules.
#pragma once

#include <functional>

#include "contract/contract.h"

namespace trelvane::driver {

// Runs one member. args holds the caller's parameters in parameter order,
// converted to their declared types; an [out] parameter is a by-reference
// variant to write through. A getter puts its value into result with the
// declared type.
using MemberCall = std::function<HRESULT(const platform::MemberDesc& member, VARIANT* args, VARIANT* result)>;

HRESULT GetIDsOfNamesFromTable(const contract::InterfaceContract& contract, REFIID riid, LPOLESTR* names, UINT count,
                               DISPID* ids);
HRESULT InvokeByContract(const contract::InterfaceContract& contract, DISPID dispid, WORD flags, DISPPARAMS* params,
                         VARIANT* result, EXCEPINFO* excepInfo, UINT* argErr, const MemberCall& call);
// Type information of the contract's type library: 1 when it loads.
HRESULT ContractTypeInfoCount(UINT* count);
HRESULT ContractTypeInfo(REFIID iid, UINT index, ITypeInfo** info);

}  // namespace trelvane::driver
