// Locks and reference counting of the framework.
#pragma once

#include <atomic>
#include <mutex>

#include "quillmesh/QuillmeshApi.h"

namespace CORE {

// A reference-counted object: created with one reference, deleted by the Release that drops
// the last one.
class QUILLMESH_API coreref {
  public:
    coreref();
    coreref(const coreref&) = delete;
    coreref& operator=(const coreref&) = delete;

    virtual ~coreref();
    // Return the new count.
    virtual long AddRef();
    virtual long Release();
    virtual long RefCount() const;

  private:
    std::atomic<long> m_references;
};

// A lock that its owner may take again (as a critical section): every lock needs its unlock.
class QUILLMESH_API corecritsec {
  public:
    corecritsec() = default;
    corecritsec(const corecritsec&) = delete;
    corecritsec& operator=(const corecritsec&) = delete;

    void lock();
    void unlock();

  private:
    std::recursive_mutex m_mutex;
};

// Holds a corecritsec for the scope.
class coresync {
  public:
    explicit coresync(corecritsec& lock) : m_lock(lock) { m_lock.lock(); }
    ~coresync() { m_lock.unlock(); }
    coresync(const coresync&) = delete;
    coresync& operator=(const coresync&) = delete;

  private:
    corecritsec& m_lock;
};

}  // namespace CORE
