// The framework's thread settings and functions for the thread runners that plug-ins build
// on (a runner's thread is created here and its body is run through a thread wrapper).
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

#include "quillmesh/QuillmeshApi.h"
#include "quillmesh/coresync.h"

namespace CORE {

// Runs a thread's body; the framework's default one keeps an exception from leaving the thread
// (it is logged and the thread ends normally).
class QUILLMESH_API corethreadwrapper : public coreref {
  public:
    using Body = void (*)(void* context);
    virtual void runThread(Body body, void* context) = 0;
};

// The wrapper new runners start with. When the framework is being unloaded it is replaced by
// threadwrapper_deconstructed, which must be neither called nor released.
extern QUILLMESH_API std::atomic<corethreadwrapper*> corerunnable_defaultThreadWrapper;
extern QUILLMESH_API corethreadwrapper* const threadwrapper_deconstructed;

// Affinity of new runner threads: 0 leaves it, 0xFFFFFFFF spreads them over the processors
// (corerunnable_initThreadAffinity), anything else is the mask to set.
extern QUILLMESH_API std::atomic<uint32_t> corerunnable_threadAffinity;
// Pins the calling thread to the next processor, round robin over the machine's processors.
QUILLMESH_API void corerunnable_initThreadAffinity();
// Runner threads log their begin and end (source "threads") when set.
extern QUILLMESH_API std::atomic<bool> corerunnable_traceThreads;

using corethreadproc = unsigned(WINAPI*)(void* argument);

// Creates a thread as the C runtime's _beginthreadex does: the handle, or 0 with errno set
// (EAGAIN: no resources, EINVAL: bad argument) and the system's code as the last error.
QUILLMESH_API uintptr_t corerunnable_beginthreadex(void* security, unsigned stackSize,
                                                   corethreadproc start, void* argument,
                                                   unsigned creationFlags, unsigned* threadId);

}  // namespace CORE
