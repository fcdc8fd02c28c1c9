#include "Handles.h"

#include <mutex>
#include <unordered_map>

#include "Faults.h"
#include <winport/testing.h>

namespace winport {
namespace {

class HandleTable {
  public:
    HANDLE Insert(std::shared_ptr<HandleObject> object) {
        std::lock_guard<std::mutex> lock(m_lock);
        // Multiples of 4 from 4 up, as Windows hands them out; values are never reused, so a
        // stale handle cannot reach a newer object.
        m_last += 4;
        m_objects.emplace(m_last, std::move(object));
        return reinterpret_cast<HANDLE>(m_last);
    }

    std::shared_ptr<HandleObject> Find(HANDLE handle) const {
        std::lock_guard<std::mutex> lock(m_lock);
        auto found = m_objects.find(reinterpret_cast<uintptr_t>(handle));
        return found == m_objects.end() ? nullptr : found->second;
    }

    bool Remove(HANDLE handle, bool (*mayClose)(const HandleObject&)) {
        std::shared_ptr<HandleObject> removed;  // destroyed outside the lock
        std::lock_guard<std::mutex> lock(m_lock);
        auto found = m_objects.find(reinterpret_cast<uintptr_t>(handle));
        if (found == m_objects.end() || !mayClose(*found->second)) return false;
        removed = std::move(found->second);
        m_objects.erase(found);
        return true;
    }

    size_t Count() const {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_objects.size();
    }

  private:
    mutable std::mutex m_lock;
    uintptr_t m_last = 0;
    std::unordered_map<uintptr_t, std::shared_ptr<HandleObject>> m_objects;
};

HandleTable& Table() {
    // Never destroyed: handles may still be closed from other libraries' destructors at exit.
    static HandleTable* table = new HandleTable;
    return *table;
}

bool IsKernelObject(const HandleObject& object) {
    return object.ClosedByCloseHandle();
}

}  // namespace

HandleObject::~HandleObject() = default;

HANDLE InsertHandle(std::shared_ptr<HandleObject> object) {
    return Table().Insert(std::move(object));
}

std::shared_ptr<HandleObject> FindHandle(HANDLE handle) {
    return Table().Find(handle);
}

bool RemoveHandle(HANDLE handle, bool (*mayClose)(const HandleObject&)) {
    return Table().Remove(handle, mayClose);
}

size_t OpenHandleCount() {
    return Table().Count();
}

}  // namespace winport

extern "C" WINPORT_API BOOL WINAPI CloseHandle(HANDLE handle) {
    if (auto code = winport::TakeInjectedFailure("CloseHandle")) {
        SetLastError(*code);
        return FALSE;
    }
    // Closing the current-process pseudo handle does nothing, as on Windows.
    if (handle == reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1))) return TRUE;
    if (!winport::RemoveHandle(handle, winport::IsKernelObject)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

namespace winport::testing {

size_t OpenHandleCount() {
    return winport::OpenHandleCount();
}

}  // namespace winport::testing
