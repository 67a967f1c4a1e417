// A descriptor that a program's own poll loop can watch: readable while the
// signal is raised. It lets a library tell a loop it does not own that work
// is waiting, without a thread of the loop's.
#pragma once

#include "platform/base/types.h"

namespace platform {

class ReadySignal {
public:
    // Without a descriptor (the system refused one), Ok() is false and the
    // last error says why.
    ReadySignal();
    ~ReadySignal();
    ReadySignal(const ReadySignal&) = delete;
    ReadySignal& operator=(const ReadySignal&) = delete;

    bool Ok() const { return m_fd >= 0; }
    // Readable (poll's POLLIN) while raised; never written to by its reader.
    int Descriptor() const { return m_fd; }
    // Both may be called from any thread; raising twice is raising once.
    void Raise();
    void Clear();

private:
    int m_fd = -1;
};

}  // namespace platform
