#include "Dispatcher.h"

#include <chrono>
#include <exception>
#include <utility>

#include "FrameworkLog.h"

namespace quillmesh {

using CORE::PropertyBag;
using CORE::ResponseType;
using CORE::WorkItem;

struct Worker {
    std::wstring name;
    CORE::WorkItemFactory factory = nullptr;
    bool itemPerRequest = true;
    bool serialized = false;
    WorkItem* sharedItem = nullptr;  // the worker's reference; dropped once removed and idle
    bool removed = false;
    bool active = false;  // serialized: one of its requests is queued in the pool or running
    std::deque<std::shared_ptr<Delivery>> backlog;  // serialized: waiting for their turn
    size_t inFlight = 0;                            // started and not yet ended
};

enum class Stage { Queued, Running, Held, Ended };

struct Delivery : std::enable_shared_from_this<Delivery> {
    std::shared_ptr<Worker> worker;
    CORE::corestring<wchar_t> operation;
    PropertyBag request;
    bool waiting = false;
    CORE::MessageCallback callback = nullptr;
    void* context = nullptr;

    Stage stage = Stage::Queued;
    WorkItem* item = nullptr;
    bool kept = false;
    bool answered = false;
    // The waiting sender may take the answer: set only once the framework has let go of the
    // work item, so a sender that unloads the plug-in next cannot race a Release into it.
    bool delivered = false;
    bool wakeOnEnd = false;  // answered while its handler still ran: told when the request ends
    bool abandoned = false;  // answered by the framework (time-out, removal), not by the item
    ResponseType response = CORE::ResponseOk;
    PropertyBag answer;
    std::condition_variable answeredSignal;
};

namespace {

// Up to 4 threads deliver; more join only while all are busy (handlers waiting on others).
constexpr size_t kDeliveryThreads = 4;
constexpr size_t kMaxDeliveryThreads = 32;

// The request whose MessageHandler runs on this thread: KeepWorkItem acts on it.
thread_local Delivery* t_current = nullptr;

WorkItem* CreateItem(CORE::WorkItemFactory factory, const std::wstring& worker) {
    try {
        WorkItem* item = factory();
        if (!item) FrameworkLog(4, L"Worker %s: the factory made no work item", worker.c_str());
        return item;
    } catch (const std::exception& error) {
        FrameworkLog(4, L"Worker %s: the factory failed: %S", worker.c_str(), error.what());
    } catch (...) {
        FrameworkLog(4, L"Worker %s: the factory failed", worker.c_str());
    }
    return nullptr;
}

bool CallHandler(WorkItem& item, const Delivery& delivery, PropertyBag& reply) {
    const wchar_t* worker = delivery.worker->name.c_str();
    try {
        return item.MessageHandler(delivery.operation, delivery.request, reply);
    } catch (const std::exception& error) {
        FrameworkLog(4, L"Worker %s: MessageHandler failed: %S", worker, error.what());
    } catch (...) {
        FrameworkLog(4, L"Worker %s: MessageHandler failed", worker);
    }
    reply.setError(ERROR_INVALID_FUNCTION, L"the request ended in an exception");
    return false;
}

void CallAbortHandler(WorkItem& item, const std::wstring& worker) {
    try {
        item.AbortHandler();
    } catch (const std::exception& error) {
        FrameworkLog(4, L"Worker %s: AbortHandler failed: %S", worker.c_str(), error.what());
    } catch (...) {
        FrameworkLog(4, L"Worker %s: AbortHandler failed", worker.c_str());
    }
}

void CallCallback(const Delivery& delivery) {
    try {
        delivery.callback(delivery.response, delivery.answer, delivery.context);
    } catch (...) {
        FrameworkLog(4, L"Worker %s: a reply callback failed", delivery.worker->name.c_str());
    }
}

}  // namespace

Dispatcher& Dispatcher::Instance() {
    static Dispatcher* instance = new Dispatcher();
    return *instance;
}

Dispatcher::Dispatcher() : m_pool(kDeliveryThreads, kMaxDeliveryThreads) {}

bool Dispatcher::AddWorker(CORE::WorkItemFactory factory, const wchar_t* name, bool itemPerRequest,
                           bool serialized, bool replace) {
    if (!factory || !name || !*name) return false;
    WorkItem* shared = itemPerRequest ? nullptr : CreateItem(factory, name);
    if (!itemPerRequest && !shared) return false;
    Followups followups;
    bool added = false;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        auto existing = m_workers.find(name);
        if (!m_shuttingDown && existing != m_workers.end() && replace) {
            DetachLocked(*existing->second, followups);
            m_workers.erase(existing);
            existing = m_workers.end();
        }
        if (!m_shuttingDown && existing == m_workers.end()) {
            auto worker = std::make_shared<Worker>();
            worker->name = name;
            worker->factory = factory;
            worker->itemPerRequest = itemPerRequest;
            worker->serialized = serialized;
            worker->sharedItem = shared;
            m_workers.emplace(name, std::move(worker));
            m_changed.notify_all();
            added = true;
        }
    }
    if (!added && shared) followups.releases.push_back(shared);
    Complete(followups);
    FrameworkLog(1, added ? L"Worker added: %s" : L"Worker not added (it exists): %s", name);
    return added;
}

bool Dispatcher::RemoveWorker(const wchar_t* name, bool waitForIdle) {
    if (!name) return false;
    Followups followups;
    std::shared_ptr<Worker> worker;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        auto found = m_workers.find(name);
        if (found != m_workers.end()) {
            worker = found->second;
            m_workers.erase(found);
            DetachLocked(*worker, followups);
        }
    }
    if (!worker) {
        // Also after Shutdown, when a plug-in's unload hook removes its worker.
        FrameworkLog(1, L"Worker not removed (it is not installed): %s", name);
        return false;
    }
    Complete(followups);
    FrameworkLog(1, L"Worker removed: %s", name);
    if (waitForIdle) {
        // A handler removing its own worker waits for the others only.
        size_t own = t_current && t_current->worker == worker ? 1 : 0;
        std::unique_lock<std::mutex> hold(m_lock);
        m_changed.wait(hold, [&] { return worker->inFlight <= own; });
    }
    return true;
}

bool Dispatcher::IsWorkerInstalled(const wchar_t* name, DWORD timeoutMs) {
    if (!name) return false;
    std::unique_lock<std::mutex> hold(m_lock);
    auto installed = [&] { return m_workers.count(name) > 0; };
    if (timeoutMs == INFINITE) {
        m_changed.wait(hold, installed);
        return true;
    }
    return m_changed.wait_for(hold, std::chrono::milliseconds(timeoutMs), installed);
}

void Dispatcher::Shutdown() {
    Followups followups;
    {
        std::unique_lock<std::mutex> hold(m_lock);
        if (m_shuttingDown) {  // another thread is at it: wait until it is done
            m_changed.wait(hold, [&] { return !m_shuttingDown; });
            return;
        }
        m_shuttingDown = true;
        for (auto& [name, worker] : m_workers) DetachLocked(*worker, followups);
        m_workers.clear();
    }
    Complete(followups);
    m_pool.Stop();  // handlers still running finish; what they held back is abandoned
    std::lock_guard<std::mutex> hold(m_lock);
    m_shuttingDown = false;
    m_changed.notify_all();
}

ResponseType Dispatcher::Send(const wchar_t* queue, const wchar_t* message,
                              const PropertyBag& parameters, PropertyBag& reply,
                              CORE::MessageCallback callback, void* context, DWORD timeoutMs,
                              bool waitForReply) {
    if (!queue) return CORE::ResponseNoWorker;
    auto delivery = std::make_shared<Delivery>();
    delivery->operation = CORE::corestring<wchar_t>(message);
    delivery->request = parameters;
    delivery->waiting = waitForReply;
    delivery->callback = callback;
    delivery->context = context;
    Followups followups;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        auto found = m_workers.find(queue);
        if (found == m_workers.end()) return CORE::ResponseNoWorker;
        delivery->worker = found->second;
        m_unanswered.insert(delivery);
        ScheduleLocked(delivery, followups);
    }
    Complete(followups);
    return waitForReply ? AwaitAnswer(delivery, reply, timeoutMs) : CORE::ResponseOk;
}

ResponseType Dispatcher::AwaitAnswer(const std::shared_ptr<Delivery>& delivery, PropertyBag& reply,
                                     DWORD timeoutMs) {
    std::unique_lock<std::mutex> hold(m_lock);
    auto delivered = [&] { return delivery->delivered; };
    if (timeoutMs == INFINITE) {
        delivery->answeredSignal.wait(hold, delivered);
    } else {
        delivery->answeredSignal.wait_for(hold, std::chrono::milliseconds(timeoutMs), delivered);
    }
    // Answered just as the time ran out: the hand-over is already under way.
    if (delivery->answered) delivery->answeredSignal.wait(hold, delivered);
    if (delivery->answered) {
        PropertyBag answer = delivery->answer;
        ResponseType response = delivery->response;
        hold.unlock();
        reply = std::move(answer);
        return response;
    }
    Followups followups;
    bool held = delivery->stage == Stage::Held;
    AnswerLocked(delivery, CORE::ResponseTimeout, PropertyBag(), true, followups);
    if (held) followups.aborts.push_back(delivery);  // a running one is aborted on return
    hold.unlock();
    Complete(followups);
    return CORE::ResponseTimeout;
}

void Dispatcher::Run(const std::shared_ptr<Delivery>& delivery) {
    Followups followups;
    Worker& worker = *delivery->worker;
    WorkItem* item = nullptr;
    bool started = false;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (delivery->answered) {  // given up while it waited in the queue
            if (worker.serialized) NextOfWorkerLocked(worker, followups);
        } else {
            delivery->stage = Stage::Running;
            ++worker.inFlight;
            item = worker.sharedItem;
            started = true;
        }
    }
    if (!started) {
        Complete(followups);
        return;
    }
    if (worker.itemPerRequest) item = CreateItem(worker.factory, worker.name);
    PropertyBag working;
    bool result = false;
    if (item) {
        {
            std::lock_guard<std::mutex> hold(m_lock);
            delivery->item = item;
        }
        Delivery* outer = std::exchange(t_current, delivery.get());
        result = CallHandler(*item, *delivery, working);
        t_current = outer;
    } else {
        working.setError(ERROR_NOT_ENOUGH_MEMORY, L"the worker could not make a work item");
    }
    {
        std::lock_guard<std::mutex> hold(m_lock);
        HandlerReturnedLocked(delivery, result, std::move(working), followups);
    }
    Complete(followups);
}

bool Dispatcher::Keep(WorkItem* item) {
    Delivery* delivery = t_current;
    if (!delivery || delivery->item != item) return false;
    std::lock_guard<std::mutex> hold(m_lock);
    // Not twice, and not for a request whose sender has already given up.
    if (delivery->kept || delivery->answered) return false;
    delivery->kept = true;
    m_held[item].push_back(delivery->shared_from_this());
    return true;
}

void Dispatcher::StopKeep(WorkItem* item, bool success, const PropertyBag* reply) {
    PropertyBag answer = reply ? *reply : PropertyBag();
    Followups followups;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        auto held = m_held.find(item);
        if (held == m_held.end()) return;
        std::shared_ptr<Delivery> delivery = held->second.front();
        AnswerLocked(delivery, success ? CORE::ResponseOk : CORE::ResponseFailed, std::move(answer),
                     false, followups);
        // Answered while its MessageHandler still runs: the delivery thread ends it.
        if (delivery->stage == Stage::Held) EndRequestLocked(*delivery, followups);
    }
    Complete(followups);  // may release `item`
}

void Dispatcher::Complete(Followups& followups) {
    for (const std::shared_ptr<Delivery>& delivery : followups.aborts) {
        CallAbortHandler(*delivery->item, delivery->worker->name);
        std::lock_guard<std::mutex> hold(m_lock);
        EndRequestLocked(*delivery, followups);
    }
    for (std::shared_ptr<Delivery>& delivery : followups.deliveries) {
        m_pool.Post([this, delivery = std::move(delivery)] { Run(delivery); });
    }
    for (std::shared_ptr<Delivery>& delivery : followups.callbacks) {
        m_pool.Post([delivery = std::move(delivery)] { CallCallback(*delivery); });
    }
    for (WorkItem* item : followups.releases) item->Release();
    if (followups.wakeups.empty()) return;
    std::lock_guard<std::mutex> hold(m_lock);
    for (const std::shared_ptr<Delivery>& delivery : followups.wakeups) {
        delivery->delivered = true;
        delivery->answeredSignal.notify_all();
    }
}

void Dispatcher::ScheduleLocked(const std::shared_ptr<Delivery>& delivery, Followups& followups) {
    Worker& worker = *delivery->worker;
    if (worker.serialized && worker.active) {
        worker.backlog.push_back(delivery);
        return;
    }
    worker.active = worker.serialized;
    followups.deliveries.push_back(delivery);
}

void Dispatcher::NextOfWorkerLocked(Worker& worker, Followups& followups) {
    while (!worker.backlog.empty()) {
        std::shared_ptr<Delivery> next = std::move(worker.backlog.front());
        worker.backlog.pop_front();
        if (!next->answered) {
            followups.deliveries.push_back(std::move(next));
            return;
        }
    }
    worker.active = false;
}

void Dispatcher::AnswerLocked(const std::shared_ptr<Delivery>& delivery, ResponseType response,
                              PropertyBag answer, bool abandoned, Followups& followups) {
    if (delivery->answered) return;
    delivery->answered = true;
    delivery->abandoned = abandoned;
    delivery->response = response;
    delivery->answer = std::move(answer);
    m_unanswered.erase(delivery);
    if (delivery->kept) {
        auto held = m_held.find(delivery->item);
        if (held != m_held.end()) {
            std::erase(held->second, delivery);
            if (held->second.empty()) m_held.erase(held);
        }
    }
    if (delivery->waiting) {
        if (delivery->stage == Stage::Running) {
            delivery->wakeOnEnd = true;
        } else {
            followups.wakeups.push_back(delivery);
        }
    } else if (delivery->callback) {
        followups.callbacks.push_back(delivery);
    }
}

void Dispatcher::HandlerReturnedLocked(const std::shared_ptr<Delivery>& delivery, bool result,
                                       PropertyBag working, Followups& followups) {
    Worker& worker = *delivery->worker;
    if (worker.serialized) NextOfWorkerLocked(worker, followups);
    if (!delivery->kept) {
        AnswerLocked(delivery, result ? CORE::ResponseOk : CORE::ResponseFailed, std::move(working),
                     false, followups);
        EndRequestLocked(*delivery, followups);
    } else if (delivery->answered) {
        // Answered while the handler ran: by the item itself, or abandoned by the framework,
        // in which case the item learns of it now.
        if (delivery->abandoned) {
            followups.aborts.push_back(delivery);
        } else {
            EndRequestLocked(*delivery, followups);
        }
    } else if (worker.removed || m_shuttingDown) {
        AnswerLocked(delivery, CORE::ResponseAborted, PropertyBag(), true, followups);
        followups.aborts.push_back(delivery);
    } else {
        delivery->stage = Stage::Held;
    }
}

void Dispatcher::EndRequestLocked(Delivery& delivery, Followups& followups) {
    Worker& worker = *delivery.worker;
    delivery.stage = Stage::Ended;
    --worker.inFlight;
    if (std::exchange(delivery.wakeOnEnd, false))
        followups.wakeups.push_back(delivery.shared_from_this());
    if (worker.itemPerRequest) {
        if (delivery.item) followups.releases.push_back(delivery.item);
    } else if (worker.removed && worker.inFlight == 0 && worker.sharedItem) {
        followups.releases.push_back(std::exchange(worker.sharedItem, nullptr));
    }
    m_changed.notify_all();
}

void Dispatcher::DetachLocked(Worker& worker, Followups& followups) {
    worker.removed = true;
    std::vector<std::shared_ptr<Delivery>> pending(m_unanswered.begin(), m_unanswered.end());
    for (const std::shared_ptr<Delivery>& delivery : pending) {
        if (delivery->worker.get() != &worker) continue;
        // A request whose handler is still running is abandoned when the handler returns.
        if (delivery->stage == Stage::Running) continue;
        bool held = delivery->stage == Stage::Held;
        AnswerLocked(delivery, CORE::ResponseAborted, PropertyBag(), true, followups);
        if (held) followups.aborts.push_back(delivery);
    }
    if (worker.inFlight == 0 && worker.sharedItem) {
        followups.releases.push_back(std::exchange(worker.sharedItem, nullptr));
    }
    m_changed.notify_all();
}

}  // namespace quillmesh
