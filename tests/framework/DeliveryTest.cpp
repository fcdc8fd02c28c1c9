// Request delivery through CORE::Quillmesh as the host and the plug-in use it (a work item per
// request, the sender waiting): answers, held requests, time-outs and aborts, worker removal,
// waiting for workers and many senders at once. Sending without waiting, which only tests do,
// carries AsyncRunnerTest's requests. Waits are on condition variables; time limits are only
// upper bounds against hangs.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "LogSink.h"
#include "quillmesh/Framework.h"

namespace {

using CORE::PropertyBag;
using CORE::WorkItem;
using namespace std::chrono_literals;

constexpr auto kPatience = 30s;  // upper bound for anything that should happen promptly

// What the test items report, shared with the test body.
class Probe {
  public:
    template <typename Change>
    void Update(Change change) {
        std::lock_guard<std::mutex> hold(m_lock);
        change(*this);
        m_changed.notify_all();
    }
    template <typename Condition>
    bool WaitFor(Condition condition) {
        std::unique_lock<std::mutex> hold(m_lock);
        return m_changed.wait_for(hold, kPatience, [&] { return condition(*this); });
    }
    template <typename Read>
    auto Get(Read read) {
        std::lock_guard<std::mutex> hold(m_lock);
        return read(*this);
    }

    int alive = 0;
    int aborts = 0;
    int keptTwice = 0;            // a second KeepWorkItem in one request said true
    int notKept = 0;              // KeepWorkItem said false (the sender had already given up)
    std::vector<WorkItem*> held;  // items holding a request, each with a reference for the test
    bool gateOpen = true;         // handlers of gated items wait for this

  private:
    std::mutex m_lock;
    std::condition_variable m_changed;
};

Probe* g_probe = nullptr;

class CountedItem : public WorkItem {
  public:
    CountedItem() {
        g_probe->Update([](Probe& p) { ++p.alive; });
    }
    ~CountedItem() override {
        g_probe->Update([](Probe& p) { --p.alive; });
    }
};

class EchoItem : public CountedItem {
  public:
    bool MessageHandler(const CORE::corestring<wchar_t>& operation, const PropertyBag& request,
                        PropertyBag& reply) override {
        if (request.contains(L"throw")) throw std::runtime_error("handler broke");
        reply.add(L"operation", operation);
        reply.addInt(L"value", request.getInt(L"value", -1));
        if (request.contains(L"fail")) {
            reply.setError(5, request.get(L"fail").c_str());
            return false;
        }
        return true;
    }
};

// Holds every request back; the test answers it. With the gate closed, the handler waits
// for it before returning (after holding).
class HoldingItem : public CountedItem {
  public:
    bool MessageHandler(const CORE::corestring<wchar_t>&, const PropertyBag& request,
                        PropertyBag& reply) override {
        bool kept = KeepWorkItem();
        bool again = KeepWorkItem();
        if (kept) AddRef();
        g_probe->Update([&](Probe& p) {
            p.keptTwice += again ? 1 : 0;
            if (kept) {
                p.held.push_back(this);
            } else {
                ++p.notKept;
            }
        });
        g_probe->WaitFor([](Probe& p) { return p.gateOpen; });
        reply.add(L"ignored", L"the handler's own reply of a held request is not sent");
        return false;
    }
    void AbortHandler() override {
        g_probe->Update([](Probe& p) { ++p.aborts; });
        StopKeepWorkItem(true, nullptr);  // what the plug-in does: must be harmless
    }
};

template <typename Item>
WorkItem* Make() {
    return new Item();
}
WorkItem* MakeNothing() {
    return nullptr;
}

CORE::Quillmesh& System() {
    return *CORE::Quillmesh::System();
}

CORE::ResponseType Send(const wchar_t* worker, const PropertyBag& request, PropertyBag& reply,
                        DWORD timeoutMs = INFINITE, const wchar_t* operation = L"Op") {
    return System().SendMsg(worker, operation, request, reply, nullptr, nullptr, nullptr, timeoutMs,
                            nullptr, nullptr, true, nullptr, nullptr, false);
}

PropertyBag Value(int32_t value) {
    PropertyBag bag;
    bag.addInt(L"value", value);
    return bag;
}

class DeliveryTest : public ::testing::Test {
  protected:
    void SetUp() override { g_probe = &m_probe; }
    void TearDown() override {
        for (const wchar_t* name : {L"echo", L"hold", L"track", L"outer"}) {
            System().RemoveWorker(name, false);  // not waiting: a broken framework fails, not hangs
        }
        // Every item the framework made is released once its request has ended.
        EXPECT_TRUE(m_probe.WaitFor([](Probe& p) { return p.alive == 0; }))
            << m_probe.Get([](Probe& p) { return p.alive; }) << " work items left";
        g_probe = nullptr;
    }

    // Waits until `count` requests are held, and takes them (with their references).
    std::vector<WorkItem*> TakeHeld(size_t count) {
        EXPECT_TRUE(m_probe.WaitFor([&](Probe& p) { return p.held.size() >= count; }));
        return m_probe.Get([](Probe& p) { return std::exchange(p.held, {}); });
    }

    Probe m_probe;
};

TEST_F(DeliveryTest, WaitingSenderGetsTheHandlersAnswer) {
    ASSERT_TRUE(
        System().AddWorker(Make<EchoItem>, L"echo", L"Echo worker", true, false, false, false));
    PropertyBag reply;
    reply.add(L"stale", L"replaced by the answer");
    EXPECT_EQ(Send(L"echo", Value(7), reply, INFINITE, L"HelpdeskOperation"), CORE::ResponseOk);
    EXPECT_EQ(reply.getInt(L"value"), 7);
    EXPECT_EQ(reply.get(L"operation"), L"HelpdeskOperation");
    EXPECT_FALSE(reply.contains(L"stale"));

    PropertyBag failing = Value(8);
    failing.add(L"fail", L"failed to get client info");
    EXPECT_EQ(Send(L"echo", failing, reply), CORE::ResponseFailed);
    EXPECT_EQ(reply.getErrorCode(), 5);
    EXPECT_EQ(reply.getErrorText(), L"failed to get client info");

    PropertyBag untouched = Value(1);
    EXPECT_EQ(Send(L"nobody", Value(1), untouched), CORE::ResponseNoWorker);
    EXPECT_EQ(untouched.getInt(L"value"), 1);

    // A second worker of the same name is refused unless it replaces the first.
    EXPECT_FALSE(System().AddWorker(Make<HoldingItem>, L"echo", L"", true, false, false, false));
    EXPECT_EQ(Send(L"echo", Value(9), reply), CORE::ResponseOk);
    EXPECT_TRUE(System().AddWorker(MakeNothing, L"echo", L"", true, false, true, false));
    EXPECT_EQ(Send(L"echo", Value(10), reply), CORE::ResponseFailed);  // the replacement's answer
}

TEST_F(DeliveryTest, FailuresOfPlugInCodeBecomeFailedAnswers) {
    auto log = std::make_shared<quillmesh::CaptureSink>();
    quillmesh::ScopedLogSink scope(log);
    ASSERT_TRUE(System().AddWorker(Make<EchoItem>, L"echo", L"", true, false, false, false));
    PropertyBag throwing;
    throwing.addBool(L"throw", true);
    PropertyBag reply;
    EXPECT_EQ(Send(L"echo", throwing, reply), CORE::ResponseFailed);
    EXPECT_EQ(reply.getErrorText(), L"the request ended in an exception");  // the reason: logged
    EXPECT_TRUE(log->Contains(4, L"Worker echo: MessageHandler failed: handler broke"));

    ASSERT_TRUE(System().AddWorker(MakeNothing, L"track", L"", true, false, false, false));
    EXPECT_EQ(Send(L"track", Value(1), reply), CORE::ResponseFailed);
    EXPECT_TRUE(reply.isError());
    EXPECT_TRUE(log->Contains(4, L"Worker track: the factory made no work item"));
}

TEST_F(DeliveryTest, HeldRequestIsAnsweredLaterFromAnotherThread) {
    ASSERT_TRUE(System().AddWorker(Make<HoldingItem>, L"hold", L"", true, false, false, false));
    PropertyBag reply;
    CORE::ResponseType response = CORE::ResponseNoWorker;
    std::thread sender([&] { response = Send(L"hold", Value(1), reply); });
    std::vector<WorkItem*> held = TakeHeld(1);
    ASSERT_EQ(held.size(), 1u);
    EXPECT_FALSE(held[0]->KeepWorkItem());  // not on the delivery thread, not in MessageHandler

    std::thread answerer([item = held[0]] {
        PropertyBag late;
        late.add(L"answer", L"late");
        item->StopKeepWorkItem(true, &late);
        late.add(L"after", L"changes after the call are not sent");
        item->StopKeepWorkItem(false, nullptr);  // nothing held any more: does nothing
        item->Release();
    });
    answerer.join();
    sender.join();
    EXPECT_EQ(response, CORE::ResponseOk);
    EXPECT_EQ(reply.get(L"answer"), L"late");
    EXPECT_FALSE(reply.contains(L"after"));
    EXPECT_FALSE(reply.contains(L"ignored"));
    EXPECT_EQ(m_probe.Get([](Probe& p) { return p.keptTwice + p.aborts; }), 0);

    // Answered with failure and no reply: an empty failed answer.
    std::thread second([&] { response = Send(L"hold", Value(2), reply); });
    held = TakeHeld(1);
    held[0]->StopKeepWorkItem(false, nullptr);
    held[0]->Release();
    second.join();
    EXPECT_EQ(response, CORE::ResponseFailed);
    EXPECT_TRUE(reply.empty());
}

// A time-out abandons the request, whether it runs out while the handler still runs (after it
// held the request) or once the request is held: the held request is aborted through
// AbortHandler. On a busy machine the time-out may run out before the handler even starts;
// then nothing was held, and a longer limit is tried.
TEST_F(DeliveryTest, TimeOutAbandonsTheRequestAndAbortsAHeldOne) {
    ASSERT_TRUE(System().AddWorker(Make<HoldingItem>, L"hold", L"", true, false, false, false));
    for (const bool handlerStillRuns : {true, false}) {
        SCOPED_TRACE(handlerStillRuns ? "handler still running" : "request held");
        bool held = false;
        for (DWORD timeout = 50; timeout <= 12800 && !held; timeout *= 4) {
            m_probe.Update([&](Probe& p) {
                p.gateOpen = !handlerStillRuns;
                p.aborts = 0;
            });
            PropertyBag reply;
            reply.add(L"before", L"kept");
            EXPECT_EQ(Send(L"hold", Value(1), reply, timeout), CORE::ResponseTimeout);
            EXPECT_EQ(reply.get(L"before"), L"kept");  // no answer, nothing copied
            m_probe.Update([](Probe& p) { p.gateOpen = true; });
            ASSERT_TRUE(m_probe.WaitFor([](Probe& p) { return p.held.size() + p.notKept == 1; }));
            std::vector<WorkItem*> items = TakeHeld(0);
            m_probe.Update([](Probe& p) { p.notKept = 0; });
            if (items.empty()) continue;
            held = true;
            EXPECT_TRUE(m_probe.WaitFor([](Probe& p) { return p.aborts == 1; }));
            items[0]->StopKeepWorkItem(true, nullptr);  // too late: harmless
            items[0]->Release();
            EXPECT_EQ(m_probe.Get([](Probe& p) { return p.aborts; }), 1);
        }
        EXPECT_TRUE(held) << "no request was ever held before its time-out";
    }
}

TEST_F(DeliveryTest, RemovingTheWorkerAbortsItsHeldRequests) {
    ASSERT_TRUE(System().AddWorker(Make<HoldingItem>, L"hold", L"", true, false, false, false));
    std::vector<CORE::ResponseType> responses(3, CORE::ResponseOk);
    std::vector<std::thread> senders;
    for (int i = 0; i < 3; ++i) {
        senders.emplace_back([&, i] {
            PropertyBag reply;
            responses[i] = Send(L"hold", Value(i), reply);
        });
    }
    std::vector<WorkItem*> held = TakeHeld(3);
    EXPECT_TRUE(System().RemoveWorker(L"hold", true));
    for (std::thread& sender : senders) sender.join();
    for (CORE::ResponseType response : responses) EXPECT_EQ(response, CORE::ResponseAborted);
    EXPECT_EQ(m_probe.Get([](Probe& p) { return p.aborts; }), 3);
    for (WorkItem* item : held) item->Release();

    EXPECT_FALSE(System().IsWorkerInstalled(L"hold", 0));
    PropertyBag reply;
    EXPECT_EQ(Send(L"hold", Value(1), reply), CORE::ResponseNoWorker);
    EXPECT_FALSE(System().RemoveWorker(L"hold", false));
}

TEST_F(DeliveryTest, IsWorkerInstalledWaitsForAWorkerAddedLater) {
    EXPECT_FALSE(System().IsWorkerInstalled(L"echo", 0));
    EXPECT_FALSE(System().IsWorkerInstalled(L"echo", 20));
    std::atomic<bool> found{false};
    std::thread waiter([&] { found = System().IsWorkerInstalled(L"echo", 60000); });
    ASSERT_TRUE(System().AddWorker(Make<EchoItem>, L"echo", L"", true, false, false, false));
    waiter.join();
    EXPECT_TRUE(found);
    EXPECT_TRUE(System().IsWorkerInstalled(L"echo", INFINITE));
    EXPECT_FALSE(System().IsWorkerInstalled(L"Echo", 0));  // names are exact
}

// Handlers that wait on another worker: the pool grows instead of starving.
class OuterItem : public CountedItem {
  public:
    bool MessageHandler(const CORE::corestring<wchar_t>&, const PropertyBag& request,
                        PropertyBag& reply) override {
        return Send(L"echo", request, reply, 60000) == CORE::ResponseOk;
    }
};

TEST_F(DeliveryTest, ManySendersEachGetTheirOwnAnswer) {
    ASSERT_TRUE(System().AddWorker(Make<EchoItem>, L"echo", L"", true, false, false, false));
    ASSERT_TRUE(System().AddWorker(Make<OuterItem>, L"outer", L"", true, false, false, false));
    ASSERT_TRUE(System().AddWorker(Make<HoldingItem>, L"hold", L"", true, false, false, false));
    constexpr int kSenders = 8;
    constexpr int kRequests = 25;
    std::atomic<int> wrong{0};
    std::vector<std::thread> senders;
    for (int s = 0; s < kSenders; ++s) {
        senders.emplace_back([&, s] {
            for (int i = 0; i < kRequests; ++i) {
                int value = s * 1000 + i;
                PropertyBag reply;
                const wchar_t* worker = (i % 2 == 0) ? L"echo" : L"outer";
                if (Send(worker, Value(value), reply) != CORE::ResponseOk ||
                    reply.getInt(L"value") != value) {
                    ++wrong;
                }
            }
        });
    }
    // Meanwhile held requests are answered from their own threads.
    std::vector<std::thread> holders;
    std::atomic<int> heldAnswers{0};
    for (int h = 0; h < 4; ++h) {
        holders.emplace_back([&, h] {
            PropertyBag reply;
            if (Send(L"hold", Value(h), reply) == CORE::ResponseOk && reply.getBool(L"answered")) {
                ++heldAnswers;
            }
        });
    }
    std::vector<std::thread> answerers;
    for (size_t answered = 0; answered < 4;) {
        std::vector<WorkItem*> held = TakeHeld(1);
        answered += held.size();
        for (WorkItem* item : held) {
            answerers.emplace_back([item] {
                PropertyBag answer;
                answer.addBool(L"answered", true);
                item->StopKeepWorkItem(true, &answer);
                item->Release();
            });
        }
        if (held.empty()) break;
    }
    for (std::thread& thread : senders) thread.join();
    for (std::thread& thread : answerers) thread.join();
    for (std::thread& thread : holders) thread.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(heldAnswers, 4);
}

TEST_F(DeliveryTest, ShutdownAbandonsHeldRequestsAndTheFrameworkStartsAgain) {
    ASSERT_TRUE(System().AddWorker(Make<HoldingItem>, L"hold", L"", true, false, false, false));
    CORE::ResponseType response = CORE::ResponseOk;
    std::thread sender([&] {
        PropertyBag reply;
        response = Send(L"hold", Value(1), reply);
    });
    std::vector<WorkItem*> held = TakeHeld(1);
    System().Shutdown();
    sender.join();
    EXPECT_EQ(response, CORE::ResponseAborted);
    EXPECT_EQ(m_probe.Get([](Probe& p) { return p.aborts; }), 1);
    held[0]->Release();
    EXPECT_FALSE(System().IsWorkerInstalled(L"hold", 0));

    ASSERT_TRUE(System().AddWorker(Make<EchoItem>, L"echo", L"", true, false, false, false));
    PropertyBag reply;
    EXPECT_EQ(Send(L"echo", Value(5), reply), CORE::ResponseOk);
    EXPECT_EQ(reply.getInt(L"value"), 5);
}

}  // namespace
