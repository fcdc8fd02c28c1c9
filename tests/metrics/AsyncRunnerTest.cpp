// "ProtocolInfo" through the framework: held back, answered from a "HelpdeskAsync" thread, at
// most 10 at a time.
#include <atomic>
#include <mutex>
#include <vector>

#include "plugin/AsyncRunner.h"
#include "plugin/DornHelpDeskOperation.h"
#include "tests/metrics/ProtocolTestSupport.h"
#include "tests/plugin/PluginTestSupport.h"
#include "tests/support/FaultInjection.h"
#include "tests/support/Waiting.h"

namespace dorn::test {
namespace {

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

class AsyncRunnerTest : public ProtocolTest {
  protected:
    AsyncRunnerTest() {
        System().AddWorker(CreateHelpDeskOperation, L"AgentHelpDesk", L"Agent help desk plugin",
                           true, false, false, false);
        SetProtocol(3, L"VEXEL");
        if (CanFakeCounters()) PublishFixture("counters/protocol-counters.json");
    }
    ~AsyncRunnerTest() override {
        System().RemoveWorker(L"AgentHelpDesk", true);
        // Every thread gives its slot back as its last act on the worker.
        EXPECT_TRUE(WaitUntil([] { return AsyncThreadSlots.load() == kAsyncThreadLimit; }));
    }
};

TEST_F(AsyncRunnerTest, ARequestWithoutSessionIsAcceptedAndAnsweredLaterWithTheError) {
    CORE::PropertyBag reply;
    EXPECT_EQ(SendToHelpDesk(ProtocolRequest(-1), reply), CORE::ResponseFailed);
    EXPECT_EQ(reply.getErrorText(), L"no session Id specified");
    EXPECT_TRUE(m_log.Has(4, L"GetProtocolMetrics: no session Id specified"));

    // Answers with values need the fixture's counter objects.
    if (!CanFakeCounters()) GTEST_SKIP() << kNoCounterFiles;
    reply.clear();
    EXPECT_EQ(SendToHelpDesk(ProtocolRequest(3), reply), CORE::ResponseOk);
    EXPECT_EQ(reply.getBag(L"protocol").getBag(L"vexel").get(L"image_encode_type"),
              L"NVIDIA NvEnc H264 4:2:0");

    SetProtocol(4, L"RDP");
    reply = CORE::PropertyBag();
    EXPECT_EQ(SendToHelpDesk(ProtocolRequest(4), reply), CORE::ResponseFailed);
    EXPECT_EQ(reply.getErrorText(), L"failed to get protocol metrics");
    EXPECT_TRUE(m_log.Has(4, L"GetProtocolMetrics: failed to get protocol metrics"));
}

TEST_F(AsyncRunnerTest, TheEleventhIsRefusedUntilASlotComesBack) {
    // The slots are held by samples of the fixture's counter objects.
    if (!CanFakeCounters()) GTEST_SKIP() << kNoCounterFiles;
    Answers answers;
    for (int i = 0; i < kAsyncThreadLimit; ++i) {
        CORE::PropertyBag unused;
        ASSERT_EQ(System().SendMsg(L"AgentHelpDesk", L"HelpdeskOperation", ProtocolRequest(3),
                                   unused, Record, &answers, nullptr, INFINITE, nullptr, nullptr,
                                   false, nullptr, nullptr, false),
                  CORE::ResponseOk);
    }
    // Each sample takes a second, so all ten are running once the slots are gone.
    ASSERT_TRUE(WaitUntil([] { return AsyncThreadSlots.load() == 0; }));
    CORE::PropertyBag refused;
    EXPECT_EQ(SendToHelpDesk(ProtocolRequest(3), refused), CORE::ResponseFailed);
    EXPECT_EQ(refused.getErrorText(), L"No available aync threads for HelpDesk");
    EXPECT_EQ(AsyncThreadSlots.load(), 0);

    ASSERT_TRUE(WaitUntil([&] { return answers.Count() == kAsyncThreadLimit; }));
    for (const auto& [response, reply] : answers.received) {
        EXPECT_EQ(response, CORE::ResponseOk);
        EXPECT_EQ(reply.getBag(L"protocol").getBag(L"vexel").get(L"image_encode_type"),
                  L"NVIDIA NvEnc H264 4:2:0");
    }
    ASSERT_TRUE(WaitUntil([] { return AsyncThreadSlots.load() > 0; }));
    CORE::PropertyBag accepted;
    EXPECT_EQ(SendToHelpDesk(ProtocolRequest(3), accepted), CORE::ResponseOk);
    EXPECT_FALSE(accepted.isError());
}

TEST_F(AsyncRunnerTest, AThreadThatCannotStartAnswersAtOnceAndGivesItsSlotBack) {
    if (!CanInjectFaults()) GTEST_SKIP() << kNoFaultInjection;
    FailCall("CreateThread", ERROR_NOT_ENOUGH_MEMORY);
    CORE::PropertyBag reply;
    EXPECT_EQ(SendToHelpDesk(ProtocolRequest(3), reply), CORE::ResponseFailed);
    EXPECT_EQ(reply.getErrorText(), L"");
    EXPECT_TRUE(m_log.Has(
        1, L"corerunnable: FAILED TO CREATE THREAD, name=HelpdeskAsync with error 11, 8"));
    EXPECT_EQ(AsyncThreadSlots.load(), kAsyncThreadLimit);

    reply.clear();
    EXPECT_EQ(SendToHelpDesk(ProtocolRequest(3), reply), CORE::ResponseOk);
}

}  // namespace
}  // namespace dorn::test
