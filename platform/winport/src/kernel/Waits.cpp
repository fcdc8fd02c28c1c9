// WaitForSingleObject over the waitable kernel objects.
#include "InjectedFailure.h"
#include "Waitable.h"

extern "C" WINPORT_API DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    if (winport::InjectedFailure("WaitForSingleObject")) return WAIT_FAILED;
    std::shared_ptr<winport::Waitable> object = winport::FindHandleOf<winport::Waitable>(handle);
    if (!object) return WAIT_FAILED;
    std::optional<std::chrono::milliseconds> timeout;
    if (milliseconds != INFINITE) timeout = std::chrono::milliseconds(milliseconds);
    return object->WaitSignalled(timeout) ? WAIT_OBJECT_0 : static_cast<DWORD>(WAIT_TIMEOUT);
}
