#include "server/help.h"

#include <cstdio>
#include <string_view>

#include "version/version.h"

namespace trelvane::server {
namespace {

constexpr const char* kHelp = R"(Usage: trelvane [-RegServer | -UnregServer | -Embedding]
       trelvane --help | --version

The automation server of the start-post driver. It serves the one driver
object CTarvik to every client of this user: the first client's activation
makes the object, every later activation gets the same one. The server
ends 5 seconds after the last client has let go, and exits 1 second later.
Clients start it (with -Embedding) when they create CTarvik and no server
runs yet; it can also be started by hand with no arguments.

  -RegServer     write the server's registration (its class, its ProgIDs
                 Trelvane.Tarvik and Trelvane.Tarvik.1, its AppID and its
                 type library) and exit
  -UnregServer   remove that registration and exit
  --help         show this text and exit
  --version      show the version and exit

The switches may also be given after "/" and in any case; the first one on
the command line counts. Any other argument is ignored, and the server
serves. --help and --version count only as the one argument: with others
they are ignored like any other argument.

The server writes nothing to standard output; what it has to report goes
to standard error.

Exit status:
  0    success: the switch's operation succeeded, or the server served
       until it was idle
  1    failure: its result code (an HRESULT) in hexadecimal and the text
       for it are written to standard error; for example 0x800401FC
       "Object is already registered" when another server of this user
       serves CTarvik already
  255  the server could not start (it could not enter its apartment)

Environment:
  TRELVANE_HOME  where the state is kept (default ~/.trelvane): the
                 registry, the port links and the servers' sockets
)";

}  // namespace

InfoAsked AskedForInfo(int argc, const char* const* argv) {
    if (argc != 2) return InfoAsked::None;
    const std::string_view argument(argv[1]);
    return argument == "--help" ? InfoAsked::Help : argument == "--version" ? InfoAsked::Version : InfoAsked::None;
}

void PrintHelp() { std::fputs(kHelp, stdout); }

void PrintVersion() { std::fputs(trelvane::VersionText("trelvane").c_str(), stdout); }

}  // namespace trelvane::server
