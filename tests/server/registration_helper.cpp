// A program that registers itself as the server would: the tests copy it to
// paths of their choosing. Prints the result of the operation named by its
// argument ("register", "unregister" or "classes").
#include <cstdio>
#include <string>

#include "server/registration.h"

namespace {

class Module : public server::IRegistrationModule {
public:
    HRESULT AddCommonRGSReplacements(IRegistrarBase* registrar) override {
        return server::AddAppIdPlaceholder(registrar);
    }
};

}  // namespace

int main(int argc, char** argv) {
    Module module;
    server::SetRegistrationModule(&module);
    const std::string what = argc > 1 ? argv[1] : "";
    const HRESULT hr = what == "register"     ? server::RegisterServerEntries()
                       : what == "unregister" ? server::UnregisterServerEntries()
                       : what == "classes"    ? server::UpdateClassEntries(true)
                                              : E_INVALIDARG;
    server::SetRegistrationModule(nullptr);
    std::printf("0x%08X\n", static_cast<unsigned>(hr));
    return 0;
}
