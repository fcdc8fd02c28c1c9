// CORE::Quillmesh: the framework instance: workers by name, request delivery on the framework's
// threads, and messages between workers.
#pragma once

#include <windows.h>

#include "quillmesh/QuillmeshApi.h"
#include "quillmesh/WorkItem.h"

namespace CORE {

using WorkItemFactory = WorkItem* (*)();

class QUILLMESH_API Quillmesh : public CORE::MessageHandler {
  public:
    static Quillmesh* System();

    // Registers a worker. itemPerRequest: the factory makes a new item for every request
    // (otherwise one item serves them all); serialized: one request at a time; replace: an
    // existing worker of that name is replaced (otherwise AddWorker fails); reserved: false.
    bool AddWorker(WorkItemFactory factory, const wchar_t* name, const wchar_t* description,
                   bool itemPerRequest, bool serialized, bool replace, bool reserved);
    // Unregisters a worker; its held requests are abandoned (AbortHandler). waitForIdle: return
    // only when its requests in flight have ended.
    bool RemoveWorker(const wchar_t* name, bool waitForIdle);
    // True once the worker exists, waiting up to `timeoutMs` for it to be added.
    bool IsWorkerInstalled(const wchar_t* name, DWORD timeoutMs);

    // Host side: abandons every held request and stops the delivery threads.
    void Shutdown();

  private:
    Quillmesh();
    ~Quillmesh();
    struct Impl;
    Impl* m_impl;
};

}  // namespace CORE
