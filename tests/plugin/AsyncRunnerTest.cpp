// "ProtocolInfo" through the framework: held back, answered from a "HelpdeskAsync" thread, at
// most 10 at a time, whatever happens on that thread.
#include <atomic>
#include <mutex>
#include <new>
#include <stdexcept>
#include <thread>
#include <vector>

#include "AsyncRunner.h"
#include "CoreThreadGroup.h"
#include "DornHelpDeskOperation.h"
#include "FaultInjection.h"
#include "Waiting.h"
#include "ProtocolFixture.h"
#include "HelpDeskRequests.h"

namespace dorn::test {
namespace {

const wchar_t* const kRefused = L"No available aync threads for HelpDesk";

CORE::Quillmesh& System() {
    return *CORE::Quillmesh::System();
}

CORE::PropertyBag ProtocolRequest(int32_t sessionId) {
    return sessionId == -1 ? Request(L"ProtocolInfo") : SessionRequest(L"ProtocolInfo", sessionId);
}

struct Answers {
    std::mutex lock;
    std::vector<std::pair<CORE::ResponseType, CORE::PropertyBag>> received;

    size_t Count() {
        std::lock_guard<std::mutex> hold(lock);
        return received.size();
    }
};

void Record(CORE::ResponseType response, const CORE::PropertyBag& reply, void* context) {
    auto* answers = static_cast<Answers*>(context);
    std::lock_guard<std::mutex> hold(answers->lock);
    answers->received.emplace_back(response, reply);
}

// The work item the framework made last, for a test that plays the framework's part.
std::atomic<CORE::WorkItem*> lastItem{nullptr};

CORE::WorkItem* RecordingFactory() {
    CORE::WorkItem* item = CreateHelpDeskOperation();
    lastItem = item;
    return item;
}

class AsyncRunnerTest : public ProtocolTest {
  protected:
    AsyncRunnerTest() {
        System().AddWorker(RecordingFactory, L"AgentHelpDesk", L"Agent help desk plugin", true,
                           false, false, false);
        SetProtocol(3, L"VEXEL");
        if (CanFakeCounters()) PublishFixture("counters/protocol-counters.json");
    }
    ~AsyncRunnerTest() override {
        SampleGate::Instance().SetOpen(true);
        System().RemoveWorker(L"AgentHelpDesk", true);
        // Every thread gives its slot back as its last act on the worker, and leaves the thread
        // registry as its very last step.
        EXPECT_TRUE(WaitUntil([] { return AsyncThreadSlots.load() == 10; }));
        EXPECT_TRUE(WaitUntil([] { return CORE::AllThreadsRegistry()->threadCount() == 0; }));
    }

    void SendWithoutWaiting(Answers& answers) {
        CORE::PropertyBag unused;
        ASSERT_EQ(System().SendMsg(L"AgentHelpDesk", L"HelpdeskOperation", ProtocolRequest(3),
                                   unused, Record, &answers, nullptr, INFINITE, nullptr, nullptr,
                                   false, nullptr, nullptr, false),
                  CORE::ResponseOk);
    }

    bool NoLineAtOrAbove(int level) {
        for (const auto& record : m_log.Records()) {
            if (record.level >= level) return false;
        }
        return true;
    }
};

// A session without a protocol: WireContractTest.
TEST_F(AsyncRunnerTest, ARequestWithoutSessionIsAcceptedAndAnsweredLaterWithTheError) {
    CORE::PropertyBag reply;
    EXPECT_EQ(SendToHelpDesk(ProtocolRequest(-1), reply), CORE::ResponseFailed);
    EXPECT_EQ(reply.getErrorText(), L"no session Id specified");
    EXPECT_TRUE(m_log.Has(4, L"GetProtocolMetrics: no session Id specified"));
}

// One sample: the update's probe and the first collection, the wait of 1000 ms, the second
// collection; then the reply.
TEST_F(AsyncRunnerTest, TwoCollectionsOneSecondApartMakeTheReply) {
    if (!CanFakeCounters()) GTEST_SKIP() << kNoCounterFiles;
    const uint64_t before = CounterApiCalls("PdhCollectQueryData");
    uint64_t atWait = 0;
    SampleGate::Instance().onArrival = [&] { atWait = CounterApiCalls("PdhCollectQueryData"); };
    CORE::PropertyBag reply;
    ASSERT_EQ(SendToHelpDesk(ProtocolRequest(3), reply), CORE::ResponseOk);
    EXPECT_EQ(SampleGate::Instance().intervals, std::vector<DWORD>{1000});
    EXPECT_EQ(atWait - before, 2u);
    EXPECT_EQ(CounterApiCalls("PdhCollectQueryData") - atWait, 1u);
    // The reply's keys, order and kinds: WireContractTest; its integer widths: ProtocolMetricsTest.
    EXPECT_EQ(reply.getBag(L"protocol").getBag(L"vexel").get(L"image_encode_type"),
              L"NVIDIA NvEnc H264 4:2:0");
}

// Ten samples are held at their wait while requests pour in from many threads; a request is
// also sent while another refused one is between its decrement and its increment.
TEST_F(AsyncRunnerTest, AtMostTenRunWhateverTheTiming) {
    if (!CanFakeCounters()) GTEST_SKIP() << kNoCounterFiles;
    SampleGate& gate = SampleGate::Instance();
    gate.SetOpen(false);
    Answers answers;
    for (int i = 0; i < 10; ++i) SendWithoutWaiting(answers);
    ASSERT_TRUE(WaitUntil([&] { return gate.Waiting() == 10; }));
    EXPECT_EQ(AsyncThreadSlots.load(), 0);

    AsyncThreadSlots.fetch_sub(1);  // a refusal in flight
    SendWithoutWaiting(answers);
    std::vector<std::thread> senders;
    for (int thread = 0; thread < 8; ++thread) {
        senders.emplace_back([&] {
            for (int i = 0; i < 5; ++i) SendWithoutWaiting(answers);
        });
    }
    for (std::thread& sender : senders) sender.join();
    // Refusals answer at once; an admitted request would wait at the gate.
    ASSERT_TRUE(WaitUntil([&] { return answers.Count() == 41 || gate.Waiting() > 10; }));
    AsyncThreadSlots.fetch_add(1);
    gate.SetOpen(true);
    ASSERT_TRUE(WaitUntil([&] { return answers.Count() == 51; }));
    EXPECT_EQ(gate.mostWaiting, 10);
    size_t refused = 0;
    for (const auto& [response, reply] : answers.received) {
        if (response == CORE::ResponseFailed && reply.getErrorText() == kRefused) {
            ++refused;
        } else {
            EXPECT_EQ(response, CORE::ResponseOk);
            EXPECT_EQ(reply.getBag(L"protocol").getBag(L"vexel").get(L"image_encode_type"),
                      L"NVIDIA NvEnc H264 4:2:0");
        }
    }
    EXPECT_EQ(refused, 41u);
    EXPECT_TRUE(NoLineAtOrAbove(2));  // a refusal is not logged

    ASSERT_TRUE(WaitUntil([] { return AsyncThreadSlots.load() > 0; }));
    CORE::PropertyBag accepted;
    EXPECT_EQ(SendToHelpDesk(ProtocolRequest(3), accepted), CORE::ResponseOk);
    EXPECT_FALSE(accepted.isError());
}

TEST_F(AsyncRunnerTest, AnExceptionOnTheThreadIsTheOperationsOwnFailure) {
    if (!CanFakeCounters()) GTEST_SKIP() << kNoCounterFiles;
    const std::vector<std::function<void()>> throwers = {
        [] { throw std::runtime_error("sampler detail"); }, [] { throw std::bad_alloc(); }};
    for (const auto& thrower : throwers) {
        SampleGate::Instance().onArrival = thrower;
        m_log.Clear();
        CORE::PropertyBag reply;
        EXPECT_EQ(SendToHelpDesk(ProtocolRequest(3), reply), CORE::ResponseFailed);
        EXPECT_EQ(reply.getErrorText(), L"failed to get protocol metrics");
        EXPECT_FALSE(reply.contains(L"protocol"));
        EXPECT_TRUE(m_log.Has(4, L"GetProtocolMetrics: failed to get protocol metrics"));
        EXPECT_EQ(m_log.Count(4, L"GetProtocolMetrics: failed to get protocol metrics"), 1u);
        EXPECT_TRUE(WaitUntil([] { return AsyncThreadSlots.load() == 10; }));
    }
}

// Outside a delivery there is nothing to hold back: the slot and the worker are left as found.
TEST_F(AsyncRunnerTest, ARequestThatCannotBeHeldBackIsRefusedQuietly) {
    CORE::WorkItem* item = CreateHelpDeskOperation();
    m_log.Clear();
    CORE::PropertyBag reply;
    EXPECT_FALSE(static_cast<DornHelpDeskOperation*>(item)->RunAsync(ProtocolRequest(3), reply));
    EXPECT_FALSE(reply.isError());
    EXPECT_EQ(reply.getErrorText(), L"");
    EXPECT_TRUE(m_log.Records().empty());
    EXPECT_EQ(AsyncThreadSlots.load(), 10);
    EXPECT_EQ(item->AddRef(), 2);  // only the creator's reference remained
    item->Release();
    item->Release();
}

// The framework abandoning a held request calls AbortHandler: the requester hears success.
TEST_F(AsyncRunnerTest, AnAbortedRequestIsAnsweredWithSuccess) {
    if (!CanFakeCounters()) GTEST_SKIP() << kNoCounterFiles;
    SampleGate& gate = SampleGate::Instance();
    gate.SetOpen(false);
    Answers answers;
    SendWithoutWaiting(answers);
    ASSERT_TRUE(WaitUntil([&] { return gate.Waiting() == 1; }));
    lastItem.load()->AbortHandler();
    ASSERT_TRUE(WaitUntil([&] { return answers.Count() == 1; }));
    EXPECT_EQ(answers.received[0].first, CORE::ResponseOk);
    EXPECT_TRUE(answers.received[0].second.empty());
    EXPECT_FALSE(answers.received[0].second.isError());

    gate.SetOpen(true);  // the thread's own answer comes too late and changes nothing
    ASSERT_TRUE(WaitUntil([] { return AsyncThreadSlots.load() == 10; }));
    EXPECT_EQ(answers.Count(), 1u);
}

TEST_F(AsyncRunnerTest, AThreadThatCannotStartAnswersAtOnceAndGivesItsSlotBack) {
    if (!CanInjectFaults()) GTEST_SKIP() << kNoFaultInjection;
    FailCall("CreateThread", ERROR_NOT_ENOUGH_MEMORY);
    CORE::PropertyBag reply;
    EXPECT_EQ(SendToHelpDesk(ProtocolRequest(3), reply), CORE::ResponseFailed);
    EXPECT_EQ(reply.getErrorText(), L"");
    EXPECT_TRUE(m_log.Has(
        1, L"corerunnable: FAILED TO CREATE THREAD, name=HelpdeskAsync with error 11, 8"));
    EXPECT_EQ(AsyncThreadSlots.load(), 10);

    reply.clear();
    EXPECT_EQ(SendToHelpDesk(ProtocolRequest(3), reply), CORE::ResponseOk);
}

}  // namespace
}  // namespace dorn::test
