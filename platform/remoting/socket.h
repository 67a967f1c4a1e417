// The Unix-domain sockets under remoting: where a class's socket lives,
// listening, connecting, accepting, and who is at the other end. Every
// descriptor is close-on-exec and, once connected, non-blocking.
#pragma once

#include <string>

#include "platform/objects/com_base.h"
#include "platform/remoting/objbase.h"

namespace platform::remoting {

// $TRELVANE_HOME/run/{CLSID}, and the lock file beside it.
std::string ClassSocketPath(REFCLSID clsid);
std::string ClassLockPath(REFCLSID clsid);
std::string RunFolder();
// $TRELVANE_HOME/log/{CLSID}.log: what the class's servers write, and what
// activation did. Set aside as "<log>.1" once it has reached kClassLogBound
// bytes, by a client before it starts a server and by a running server.
std::string ClassLogPath(REFCLSID clsid);
constexpr long long kClassLogBound = 1 << 20;
// Makes $TRELVANE_HOME/run (mode 0700) and checks that it is ours and
// closed to others; E_ACCESSDENIED when it belongs to another user.
HRESULT PrepareRunFolder();
// The same for another folder of $TRELVANE_HOME (made with $TRELVANE_HOME).
HRESULT PrepareOwnFolder(const std::string& path);

// Takes an exclusive lock on path (made if missing): -1 and CO_E_OBJISREG
// when another holder has it.
int LockExclusive(const std::string& path, HRESULT* hr);
// Whether descriptor fd is still the file at path (not removed or replaced,
// as a cleaner of temporary files may do).
bool IsFileAt(int fd, const std::string& path);
// Listens at path: the socket is made beside it (mode 0600), listens, and
// only then takes path's place, replacing any stale socket there, so that a
// socket that appears at path is always ready to be connected to.
int ListenAt(const std::string& path, HRESULT* hr);
// How long a connect waits for room in the listener's queue: a server that
// takes no connection (stuck, or not one of ours) fails its client then, as
// one that takes a connection and never greets it does.
inline constexpr DWORD kConnectWaitMs = 30000;
// Connects to path. *noServer is set when nothing listens there;
// RPC_E_TIMEOUT when the listener took no connection within waitMs.
int ConnectTo(const std::string& path, bool* noServer, HRESULT* hr, DWORD waitMs = kConnectWaitMs);
// The next waiting connection, or -1: *error is 0 when none waits, else
// the errno of the failure (EMFILE when no descriptor is free).
int AcceptFrom(int listenFd, int* error);

struct Peer {
    bool known = false;
    bool sameUser = false;
    long pid = 0;
    long uid = -1;
};
// Who is at the other end of a connected socket (SO_PEERCRED).
Peer PeerOf(int fd);

void CloseSocket(int fd);
void ShutDownSocket(int fd);
void RemovePath(const std::string& path);

// "trelvane: remoting: " and the text, to standard error.
void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace platform::remoting
