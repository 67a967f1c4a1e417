// platform::HeldEvents on Windows: there the system's marshaler sends each
// event to another process as it is raised, and has no queue to hold them
// in, so the scope that keeps a notification's events together is empty.
// Code above the platform opens the scope on both systems alike.
#pragma once

namespace platform {

class HeldEvents {
public:
    HeldEvents() = default;
    // Provided, so that a scope with nothing to do is not an unused variable.
    ~HeldEvents() {}  // NOLINT(modernize-use-equals-default)
    HeldEvents(const HeldEvents&) = delete;
    HeldEvents& operator=(const HeldEvents&) = delete;
};

}  // namespace platform
