// What one peer may cost a process that serves others: every bound that
// remoting puts on its connections, in one place (docs/remoting.md lists
// them with their reasons).
#pragma once

#include <cstddef>

#include "platform/base/types.h"

namespace platform::remoting::limits {

// A client that connects must send its greeting within this time.
constexpr DWORD kGreetingDeadlineMs = 3000;
// A frame, once its first byte came, must be whole within this time.
constexpr DWORD kFrameDeadlineMs = 5000;
// How often those two deadlines are checked while one of them runs.
constexpr UINT kDeadlineCheckMs = 250;
// Connections a server keeps at once; more are refused with RPC_E_CALL_REJECTED.
constexpr std::size_t kMaxConnections = 256;
// While no descriptor is free, the listening socket rests this long (or
// until a connection closes) before accepting again.
constexpr DWORD kAcceptPauseMs = 1000;
// Bytes of unfinished frames held over all connections of an apartment;
// beyond it the connection that holds the most is dropped.
constexpr std::size_t kMaxBufferedBytes = 32u << 20;
// Incoming calls running inside one another on a thread (each one waiting
// for a call of its own to a peer); a request beyond this depth is refused
// with RPC_E_CALL_REJECTED.
constexpr int kMaxNesting = 64;
// The same for the calls of one peer, so that one peer cannot take all of it.
constexpr int kMaxNestingPerPeer = 4;
// Calls to a peer still unanswered past their time limit (a server's
// callbacks wait 5 s each), whose late replies are remembered to be
// dropped; a peer that reaches this many is disconnected.
constexpr std::size_t kMaxUnansweredCalls = 2 * static_cast<std::size_t>(kMaxNestingPerPeer);
// Objects of a process that one peer may hold at once (each distinct
// object, however many references); a peer that would hold more is
// disconnected, and all it held released.
constexpr std::size_t kMaxObjectsPerPeer = 1024;
// Sinks that one client may have advised on a server's connection points;
// more are refused with CONNECT_E_ADVISELIMIT.
constexpr std::size_t kMaxSinksPerClient = 256;

}  // namespace platform::remoting::limits
