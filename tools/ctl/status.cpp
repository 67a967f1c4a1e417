#include "tools/ctl/status.h"

#include <cstdlib>
#include <string_view>

#include "contract/trelvane.h"
#include "platform/base/paths.h"
#include "platform/registry/store.h"
#include "platform/remoting/socket.h"
#include "tools/ctl/advice.h"
#include "tools/ctl/commands.h"
#include "tools/ctl/registered_server.h"
#include "tools/ctl/reporter.h"

namespace trelvane::ctl {
namespace {

// Which store the registration that activation uses comes from: the user's
// is read above the machine's, unless TRELVANE_REGISTRY_SCOPE=machine hides
// it.
const char* RegistrationScope() {
    namespace registry = platform::registry;
    if (const char* scope = std::getenv("TRELVANE_REGISTRY_SCOPE"); scope && std::string_view(scope) == "machine")
        return "machine";
    registry::Snapshot user;
    registry::Path path;
    const bool inUserStore = registry::ReadStore(registry::UserStore(), &user) == ERROR_SUCCESS && user &&
                             registry::SplitPath(ServerKeyName(), &path) && registry::FindPath(*user, path);
    return inUserStore ? "user" : "machine";
}

// The process id of the server that serves CTarvik now, or 0. Only looks:
// a connection that says nothing is let go by the server without a word.
long RunningServer() {
    bool noServer = false;
    HRESULT hr = S_OK;
    const int fd =
        platform::remoting::ConnectTo(platform::remoting::ClassSocketPath(contract::CLSID_CTarvik), &noServer, &hr);
    if (fd < 0) return 0;
    const long pid = platform::remoting::PeerOf(fd).pid;
    platform::remoting::CloseSocket(fd);
    return pid;
}

}  // namespace

int ShowStatus(bool json) {
    Reporter reporter(json);
    std::string commandLine;
    const LSTATUS registry = RegisteredServer(&commandLine);
    if (registry != ERROR_SUCCESS && registry != ERROR_FILE_NOT_FOUND) {
        reporter.Failure("cannot read the registry: " + SystemMessageText(registry),
                         "the registry's files are named on standard error above");
        return kFailed;
    }
    const bool registered = registry == ERROR_SUCCESS;
    const std::string scope = registered ? RegistrationScope() : "";
    ReplyRegistration(reporter, scope, commandLine, "trelvane -RegServer");
    const long pid = RunningServer();
    const std::string log = ServerLogPath();
    reporter.Reply("running",
                   (pid ? "running: pid " + std::to_string(pid) : std::string("not running")) + "; log " + log,
                   {{"running", pid != 0},
                    {"pid", pid ? tools::Value(static_cast<long long>(pid)) : tools::Null{}},
                    {"home", platform::TrelvaneHome()},
                    {"log", log}});
    return kSucceeded;
}

}  // namespace trelvane::ctl
