// CORE::Quillmesh: the public face of the framework instance.
#include "quillmesh/Quillmesh.h"

#include "Dispatcher.h"

namespace CORE {

struct Quillmesh::Impl {
    quillmesh::Dispatcher& dispatcher;
};

// Never destroyed: a plug-in may use the instance until it is unloaded, which can be after
// the static objects of the process are gone. The host ends the work with Shutdown.
Quillmesh* Quillmesh::System() {
    static Quillmesh* instance = new Quillmesh();
    return instance;
}

Quillmesh::Quillmesh() : m_impl(new Impl{quillmesh::Dispatcher::Instance()}) {}

Quillmesh::~Quillmesh() {
    delete m_impl;
}

bool Quillmesh::AddWorker(WorkItemFactory factory, const wchar_t* name, const wchar_t* description,
                          bool itemPerRequest, bool serialized, bool replace, bool reserved) {
    return m_impl->dispatcher.AddWorker(factory, name, itemPerRequest, serialized, replace);
}

bool Quillmesh::RemoveWorker(const wchar_t* name, bool waitForIdle) {
    return m_impl->dispatcher.RemoveWorker(name, waitForIdle);
}

bool Quillmesh::IsWorkerInstalled(const wchar_t* name, DWORD timeoutMs) {
    return m_impl->dispatcher.IsWorkerInstalled(name, timeoutMs);
}

void Quillmesh::Shutdown() {
    m_impl->dispatcher.Shutdown();
}

}  // namespace CORE
