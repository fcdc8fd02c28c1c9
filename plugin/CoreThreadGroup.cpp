#include "CoreThreadGroup.h"

#include <atomic>

#include "NameCopy.h"

namespace CORE {
namespace {

std::atomic<bool> registryBuilt{false};
constexpr DWORD kUnloadWaitMs = 10000;

}  // namespace

corethreadgroup::corethreadgroup(const char* name) : m_name(CopyName(name)) {}

corethreadgroup::~corethreadgroup() {
    delete[] m_name;
}

void corethreadgroup::add(unsigned id, HANDLE handle) {
    coresync hold(m_lock);
    m_threads[id] = handle;
}

void corethreadgroup::removeCurrentThread(bool closeHandle) {
    const unsigned id = GetCurrentThreadId();
    coresync hold(m_lock);
    auto found = m_threads.find(id);
    if (found == m_threads.end()) return;
    if (closeHandle && found->second != nullptr) CloseHandle(found->second);
    m_threads.erase(found);
}

size_t corethreadgroup::threadCount() {
    coresync hold(m_lock);
    return m_threads.size();
}

corerunnable_allThreadsGroup::corerunnable_allThreadsGroup() {
    registryBuilt.store(true);
}

corerunnable_allThreadsGroup::~corerunnable_allThreadsGroup() {
    // Runs when the library is unloaded or the process exits: runner threads still on their
    // way out (a "HelpdeskAsync" thread answers before it finishes) get a bounded time to leave
    // the registry, their last use of this library's data, before the data goes.
    for (DWORD waited = 0; waited < kUnloadWaitMs && threadCount() != 0; ++waited) Sleep(1);
    registryBuilt.store(false);
}

namespace {
// Never released: it lives exactly as long as the library's statics.
corerunnable_allThreadsGroup allThreads;
}  // namespace

corerunnable_allThreadsGroup* AllThreadsRegistry() {
    return registryBuilt.load() ? &allThreads : nullptr;
}

}  // namespace CORE
