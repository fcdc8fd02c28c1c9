// Waits. A thread handle is signalled once its thread has returned from its start routine.
#pragma once

#include "windef.h"

#define WAIT_OBJECT_0 0x00000000L
#define WAIT_FAILED 0xFFFFFFFFu
#ifndef WAIT_TIMEOUT
#define WAIT_TIMEOUT 258L
#endif

extern "C" {

// WAIT_OBJECT_0 once the object is signalled, WAIT_TIMEOUT when `milliseconds` ran out first
// (0 only tests, INFINITE waits for good), WAIT_FAILED with the last error for a handle that
// names nothing one can wait on.
WINPORT_API DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds);

}  // extern "C"
