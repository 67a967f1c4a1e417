// Test doubles that record what the listener and the channel deliver.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "serial/serial_ex.h"

namespace trelvane::testing {

struct PortEvent {
    DWORD events;
    DWORD errors;
    std::chrono::steady_clock::time_point at;
};

// Collects items from the listener thread for the test thread.
template <class T>
class Recorder {
public:
    void Add(T item) {
        std::lock_guard lock(m_mutex);
        m_items.push_back(std::move(item));
        m_changed.notify_all();
    }
    bool WaitFor(std::size_t count, std::chrono::milliseconds timeout) {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, timeout, [&] { return m_items.size() >= count; });
    }
    std::vector<T> Items() {
        std::lock_guard lock(m_mutex);
        return m_items;
    }
    std::size_t Size() {
        std::lock_guard lock(m_mutex);
        return m_items.size();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<T> m_items;
};

// A listener whose handler records each call (and may run a hook first).
class RecordingListener : public CSerialEx {
public:
    ~RecordingListener() override {
        if (m_thread) CSerialEx::Close();
    }
    void OnPortEvent(DWORD events, DWORD errors) override {
        if (hook) hook(events);
        if (drain && (events & EV_RXCHAR)) {
            BYTE buffer[64];
            (void)Read(buffer, sizeof buffer);  // the bytes need only leave the queue
        }
        calls.Add({events, errors, std::chrono::steady_clock::now()});
    }
    bool ListenerRecorded() const { return m_thread != nullptr; }
    std::function<void(DWORD)> hook;
    bool drain = true;  // read what arrived, as a real handler would
    Recorder<PortEvent> calls;
};

}  // namespace trelvane::testing
