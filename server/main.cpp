// trelvane: the out-of-process server of the driver object CTarvik.
#include "server/exit_status.h"
#include "server/help.h"
#include "server/trelvane_module.h"

namespace trelvane {

int Main(int argc, char** argv) {
    switch (server::AskedForInfo(argc, argv)) {
    case server::InfoAsked::Help: server::PrintHelp(); return 0;
    case server::InfoAsked::Version: server::PrintVersion(); return 0;
    case server::InfoAsked::None: break;
    }
    int result;
    {
        // The module is made before the entry runs and goes after it
        // returns. It lives in this scope rather than as a global so that
        // its shut-down (the class objects released, the apartment left)
        // runs while the main thread's apartment and message queue, which
        // are the thread's own objects, still exist.
        CTrelvaneModule module;
        result = module.Entry();
    }
    server::ReportEntryResult(result);
    return server::ExitStatus(result);
}

}  // namespace trelvane

int main(int argc, char** argv) { return trelvane::Main(argc, argv); }
