// What the message queue offers the areas above it: procedures that
// DispatchMessageW runs for a message number, and descriptors that a
// thread's message waits watch besides its queue. A thread that waits in
// GetMessageW, MsgWaitForMultipleObjectsEx or WaitForThreadActivity handles
// its descriptors itself, on its own thread, as they become ready.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/messages/messages.h"

namespace platform {

// DispatchMessageW runs proc for every message with this number (for thread
// messages, as a window procedure would for a window's).
using MessageProc = void (*)(const MSG& msg);
void SetMessageProc(UINT message, MessageProc proc);

// A descriptor the calling thread's waits watch. events() is asked before
// each wait (poll's event bits, 0 for not now); ready() runs on the thread,
// inside the wait, with what poll reported. Both may add and remove sources.
constexpr short kSourceReadable = 0x001;  // POLLIN
constexpr short kSourceWritable = 0x004;  // POLLOUT
struct WaitSource {
    int fd;
    std::function<short()> events;
    std::function<void(short revents)> ready;
};
// For the calling thread only; the id removes it again.
int AddWaitSource(WaitSource source);
void RemoveWaitSource(int id);

// Makes a thread's current or next wait look at its sources again (after
// another thread changed what one of them waits for).
void WakeThread(DWORD threadId);
// The same, only if the thread is in its wait (or about to enter it) now:
// whether it was, and so looks at its sources before anything else.
bool WakeThreadIfWaiting(DWORD threadId);

// How many messages have been posted to the calling thread so far.
std::uint64_t PostedCount();
// One wait of the calling thread: returns once a message has been posted
// after `seen` (a PostedCount), a source has been handled, a timer fell due
// (only with timers), or the time is up.
void WaitForThreadActivity(std::uint64_t seen, DWORD milliseconds, bool timers);

}  // namespace platform
