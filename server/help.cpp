#include "server/help.h"

#include <cstdio>
#include <string_view>

namespace server {
namespace {

constexpr const char* kHelp = R"(Usage: trelvane [-RegServer | -UnregServer | -Embedding]

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

The switches may also be given after "/" and in any case; the first one on
the command line counts. Any other argument is ignored, and the server
serves.

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

bool WantsHelp(int argc, const char* const* argv) {
    for (int i = 1; i < argc; ++i)
        if (std::string_view(argv[i]) == "--help") return true;
    return false;
}

void PrintHelp() { std::fputs(kHelp, stdout); }

}  // namespace server
