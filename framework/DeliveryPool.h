// The framework's delivery threads: a pool that runs posted jobs (request deliveries and
// callbacks). Threads start on the first job; more join, up to a limit, while every thread is
// busy, so handlers that wait on other workers cannot starve the pool.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace quillmesh {

class DeliveryPool {
  public:
    DeliveryPool(size_t baseThreads, size_t maxThreads);
    ~DeliveryPool();
    DeliveryPool(const DeliveryPool&) = delete;
    DeliveryPool& operator=(const DeliveryPool&) = delete;

    void Post(std::function<void()> job);
    // Runs the jobs already posted, then ends and joins the threads. The pool starts again on
    // the next Post.
    void Stop();
    // True on one of this pool's threads.
    bool OnPoolThread() const;

  private:
    void Run();
    void StartThread();  // with m_lock held

    const size_t m_baseThreads;
    const size_t m_maxThreads;
    std::mutex m_lock;
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_jobs;
    std::vector<std::thread> m_threads;
    size_t m_idle = 0;
    bool m_stopping = false;
};

}  // namespace quillmesh
