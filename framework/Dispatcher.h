// The inside of CORE::Quillmesh: the worker table, request delivery on the pool's threads, and
// requests held back by their work items. Plug-in code (factories, MessageHandler,
// AbortHandler, Release, callbacks) is only ever called with no lock of ours held.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "DeliveryPool.h"
#include "quillmesh/Quillmesh.h"

namespace quillmesh {

struct Worker;
struct Delivery;

class Dispatcher {
  public:
    // Never destroyed: plug-ins may use it until they are unloaded, whenever that happens.
    static Dispatcher& Instance();

    bool AddWorker(CORE::WorkItemFactory factory, const wchar_t* name, bool itemPerRequest,
                   bool serialized, bool replace);
    bool RemoveWorker(const wchar_t* name, bool waitForIdle);
    bool IsWorkerInstalled(const wchar_t* name, DWORD timeoutMs);
    void Shutdown();

    CORE::ResponseType Send(const wchar_t* queue, const wchar_t* message,
                            const CORE::PropertyBag& parameters, CORE::PropertyBag& reply,
                            CORE::MessageCallback callback, void* context, DWORD timeoutMs,
                            bool waitForReply);

    bool Keep(CORE::WorkItem* item);
    void StopKeep(CORE::WorkItem* item, bool success, const CORE::PropertyBag* reply);

  private:
    // What must happen once the lock is let go, in this order: abort handlers (each request
    // then ends), jobs for the pool, releases of work items.
    struct Followups {
        std::vector<std::shared_ptr<Delivery>> aborts;
        std::vector<std::shared_ptr<Delivery>> deliveries;
        std::vector<std::shared_ptr<Delivery>> callbacks;
        std::vector<CORE::WorkItem*> releases;
        std::vector<std::shared_ptr<Delivery>> wakeups;  // waiting senders, told after releases
    };

    Dispatcher();

    void Run(const std::shared_ptr<Delivery>& delivery);
    CORE::ResponseType AwaitAnswer(const std::shared_ptr<Delivery>& delivery,
                                   CORE::PropertyBag& reply, DWORD timeoutMs);
    void Complete(Followups& followups);

    // With m_lock held.
    void ScheduleLocked(const std::shared_ptr<Delivery>& delivery, Followups& followups);
    void NextOfWorkerLocked(Worker& worker, Followups& followups);
    void AnswerLocked(const std::shared_ptr<Delivery>& delivery, CORE::ResponseType response,
                      CORE::PropertyBag answer, bool abandoned, Followups& followups);
    void HandlerReturnedLocked(const std::shared_ptr<Delivery>& delivery, bool result,
                               CORE::PropertyBag working, Followups& followups);
    void EndRequestLocked(Delivery& delivery, Followups& followups);
    void DetachLocked(Worker& worker, Followups& followups);

    std::mutex m_lock;
    std::condition_variable m_changed;  // workers added or removed, requests ended, shutdown
    std::map<std::wstring, std::shared_ptr<Worker>> m_workers;
    std::set<std::shared_ptr<Delivery>> m_unanswered;
    // Requests held back by each work item, oldest first.
    std::unordered_map<CORE::WorkItem*, std::deque<std::shared_ptr<Delivery>>> m_held;
    bool m_shuttingDown = false;
    DeliveryPool m_pool;
};

}  // namespace quillmesh
