#include "quillmesh/coresync.h"

namespace CORE {

coreref::coreref() : m_references(1) {}

coreref::~coreref() = default;

long coreref::AddRef() {
    return m_references.fetch_add(1, std::memory_order_relaxed) + 1;
}

long coreref::Release() {
    // acq_rel: every write made under an earlier reference is seen by the deleting thread.
    const long remaining = m_references.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (remaining == 0) delete this;
    return remaining;
}

long coreref::RefCount() const {
    return m_references.load(std::memory_order_relaxed);
}

void corecritsec::lock() {
    m_mutex.lock();
}

void corecritsec::unlock() {
    m_mutex.unlock();
}

}  // namespace CORE
