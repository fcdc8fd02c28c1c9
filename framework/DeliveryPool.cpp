#include "DeliveryPool.h"

#include <utility>

namespace quillmesh {

namespace {
thread_local const DeliveryPool* t_pool = nullptr;
thread_local bool t_leaving = false;  // detached by Stop: end after the current job
}  // namespace

DeliveryPool::DeliveryPool(size_t baseThreads, size_t maxThreads)
    : m_baseThreads(baseThreads),
      m_maxThreads(maxThreads < baseThreads ? baseThreads : maxThreads) {}

DeliveryPool::~DeliveryPool() {
    Stop();
}

void DeliveryPool::Post(std::function<void()> job) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_jobs.push_back(std::move(job));
    while (m_threads.size() < m_baseThreads) StartThread();
    if (m_jobs.size() > m_idle && m_threads.size() < m_maxThreads) StartThread();
    m_wake.notify_one();
}

void DeliveryPool::StartThread() {
    m_threads.emplace_back([this] { Run(); });
}

void DeliveryPool::Run() {
    t_pool = this;
    std::unique_lock<std::mutex> hold(m_lock);
    while (true) {
        ++m_idle;
        m_wake.wait(hold, [this] { return !m_jobs.empty() || m_stopping; });
        --m_idle;
        if (m_jobs.empty()) return;  // stopping, and nothing left to run
        std::function<void()> job = std::move(m_jobs.front());
        m_jobs.pop_front();
        hold.unlock();
        job();
        job = nullptr;  // whatever the job captured goes before the lock is taken again
        if (t_leaving) {
            t_pool = nullptr;
            return;
        }
        hold.lock();
    }
}

void DeliveryPool::Stop() {
    std::unique_lock<std::mutex> hold(m_lock);
    m_stopping = true;
    m_wake.notify_all();
    // Jobs run while stopping may post more and so start threads: join until none is left.
    while (!m_threads.empty()) {
        std::vector<std::thread> threads = std::move(m_threads);
        m_threads.clear();
        hold.unlock();
        for (std::thread& thread : threads) {
            if (thread.get_id() == std::this_thread::get_id()) {
                thread.detach();  // stopped from one of its own jobs: it ends when that returns
                t_leaving = true;
            } else {
                thread.join();
            }
        }
        hold.lock();
    }
    m_stopping = false;
}

bool DeliveryPool::OnPoolThread() const {
    return t_pool == this;
}

}  // namespace quillmesh
