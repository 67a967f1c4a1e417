// The resources the server's executable carries: its AppID registry script
// (type "REGISTRY", 101, from contract/trelvane.rgs) and its type library
// (type "TYPELIB", 1). Compiled into each program that is the server or
// stands in for it, as a resource script is linked into an executable.
#include <cstring>

#include "contract/contract.h"

namespace trelvane {

namespace contract {
extern const char kAppIdScript[];  // generated from trelvane.rgs
}

namespace {

const platform::ExecutableResource kAppIdScriptResource(TEXT("REGISTRY"), MAKEINTRESOURCEW(contract::kAppIdScriptId),
                                                        contract::kAppIdScript,
                                                        static_cast<DWORD>(std::strlen(contract::kAppIdScript)));
const platform::ExecutableResource kTypeLibResource(TEXT("TYPELIB"), MAKEINTRESOURCEW(contract::kTypeLibId),
                                                    &contract::TrelvaneLibrary(), sizeof(platform::LibraryDesc));

}  // namespace
}  // namespace trelvane
