#include "platform/base/kernel_object.h"

#include <mutex>
#include <unordered_map>

namespace platform {
namespace {

struct HandleTable {
    std::mutex mutex;
    std::unordered_map<std::uintptr_t, std::shared_ptr<KernelObject>> objects;
    std::uintptr_t next = 0x100;
};

HandleTable& Table() {
    static HandleTable* table = new HandleTable;  // never destroyed: threads may outlive statics
    return *table;
}

}  // namespace

DWORD KernelObject::Wait(DWORD) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
}

HANDLE InsertHandle(std::shared_ptr<KernelObject> object) {
    auto& table = Table();
    std::lock_guard lock(table.mutex);
    const std::uintptr_t value = table.next;
    table.next += 4;
    table.objects.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> LookUpHandle(HANDLE handle) {
    auto& table = Table();
    std::lock_guard lock(table.mutex);
    auto it = table.objects.find(reinterpret_cast<std::uintptr_t>(handle));
    return it == table.objects.end() ? nullptr : it->second;
}

std::size_t OpenHandleCount() {
    auto& table = Table();
    std::lock_guard lock(table.mutex);
    return table.objects.size();
}

WaitSet::WaitSet(DWORD count, const HANDLE* handles, Waiter* waiter) : m_waiter(waiter) {
    if (count > MAXIMUM_WAIT_OBJECTS || (count > 0 && handles == nullptr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return;
    }
    for (DWORD i = 0; i < count; ++i) {
        auto object = LookUpHandle(handles[i]);
        if (!object || !object->AddWaiter(waiter)) {
            SetLastError(ERROR_INVALID_HANDLE);
            return;
        }
        m_objects.push_back(std::move(object));
    }
    m_ok = true;
}

WaitSet::~WaitSet() {
    for (auto& object : m_objects) object->RemoveWaiter(m_waiter);
}

int WaitSet::FirstSignalled() {
    for (std::size_t i = 0; i < m_objects.size(); ++i)
        if (m_objects[i]->TryAcquire()) return static_cast<int>(i);
    return -1;
}

}  // namespace platform

BOOL CloseHandle(HANDLE hObject) {
    auto& table = platform::Table();
    std::shared_ptr<platform::KernelObject> object;
    {
        std::lock_guard lock(table.mutex);
        auto it = table.objects.find(reinterpret_cast<std::uintptr_t>(hObject));
        if (it == table.objects.end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        object = std::move(it->second);
        table.objects.erase(it);
    }
    object->OnLastHandleClosed();
    return TRUE;
}
