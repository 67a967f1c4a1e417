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

// A connect to a server that listens but takes no connection waits this
// long before status says so.
constexpr DWORD kConnectWaitMs = 2000;

// The server that serves CTarvik now: its process id, or 0 and why it did
// not answer (empty when nothing listens). Only looks: a connection that
// says nothing is let go by the server without a word.
struct Server {
    long pid = 0;
    std::string trouble;
};
Server RunningServer() {
    bool noServer = false;
    HRESULT hr = S_OK;
    const int fd = platform::remoting::ConnectTo(platform::remoting::ClassSocketPath(contract::CLSID_CTarvik),
                                                 &noServer, &hr, kConnectWaitMs);
    if (fd < 0) return {0, noServer ? "" : SystemMessageText(static_cast<DWORD>(hr))};
    const long pid = platform::remoting::PeerOf(fd).pid;
    platform::remoting::CloseSocket(fd);
    return {pid, ""};
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
    const auto [pid, trouble] = RunningServer();
    const std::string log = ServerLogPath();
    const std::string state = pid ? "running: pid " + std::to_string(pid)
                              : trouble.empty()
                                  ? std::string("not running")
                                  : "a process holds the server's socket but takes no connection: " + trouble;
    reporter.Reply("running", state + "; log " + log,
                   {{"running", pid != 0 || !trouble.empty()},
                    {"answering", pid != 0},
                    {"pid", pid ? tools::Value(static_cast<long long>(pid)) : tools::Null{}},
                    {"home", platform::TrelvaneHome()},
                    {"log", log}});
    return kSucceeded;
}

}  // namespace trelvane::ctl
