// Thread groups of the thread runners: thread id to handle maps, each under its own lock, and
// the process-wide registry of every runner thread.
#pragma once

#include <windows.h>

#include <cstddef>
#include <map>

#include "quillmesh/coresync.h"

namespace CORE {

class corethreadgroup : public coreref {
  public:
    explicit corethreadgroup(const char* name = nullptr);
    ~corethreadgroup() override;

    // Inserts or overwrites the entry of `id`.
    void add(unsigned id, HANDLE handle);
    // Erases the calling thread's entry, closing its handle first when `closeHandle`.
    void removeCurrentThread(bool closeHandle);
    size_t threadCount();
    // Calls `visit`(id, handle) for every entry with the group's lock held.
    template <typename Visit>
    void forEach(Visit&& visit) {
        coresync hold(m_lock);
        for (const auto& [id, handle] : m_threads) visit(id, handle);
    }

  private:
    char* m_name;
    std::map<unsigned, HANDLE> m_threads;
    corecritsec m_lock;
};

// Every runner thread of the process, whether it has a group or not. The registry does not own
// the handles it lists.
class corerunnable_allThreadsGroup : public corethreadgroup {
  public:
    corerunnable_allThreadsGroup();
    ~corerunnable_allThreadsGroup() override;
};

// The registry, or null before it is built and once its destruction has begun.
corerunnable_allThreadsGroup* AllThreadsRegistry();

}  // namespace CORE
