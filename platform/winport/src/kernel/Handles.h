// The handle table: HANDLE values name kernel objects (processes, tokens, service manager
// objects, ...). An object lives while a handle names it or a call is using it.
#pragma once

#include <windows.h>

#include <memory>

namespace winport {

// Base of everything a handle can name. New kinds derive from it.
class HandleObject {
  public:
    virtual ~HandleObject();
    // CloseHandle closes kernel objects; service manager objects need CloseServiceHandle.
    virtual bool ClosedByCloseHandle() const { return true; }
};

// Enters the object and returns its new handle (never null, never INVALID_HANDLE_VALUE).
HANDLE InsertHandle(std::shared_ptr<HandleObject> object);

// The object named by the handle, or null when there is none.
std::shared_ptr<HandleObject> FindHandle(HANDLE handle);

// The object when it is of kind T; else null with ERROR_INVALID_HANDLE as the last error.
template <typename T>
std::shared_ptr<T> FindHandleOf(HANDLE handle) {
    std::shared_ptr<T> object = std::dynamic_pointer_cast<T>(FindHandle(handle));
    if (!object) SetLastError(ERROR_INVALID_HANDLE);
    return object;
}

// Removes the handle when it names an object for which `mayClose` holds; false otherwise.
bool RemoveHandle(HANDLE handle, bool (*mayClose)(const HandleObject&));

// Number of open handles (tests look for leaks with it).
size_t OpenHandleCount();

}  // namespace winport
