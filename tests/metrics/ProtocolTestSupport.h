// What the protocol and async-runner tests share: an empty registry with one session's
// protocol, the fixture counter objects and the sessions of alice (3) and bob (4).
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "counters/CounterNameIndex.h"
#include "counters/CounterSetUpdate.h"
#include "tests/metrics/MetricsTestSupport.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TestRegistry.h"

namespace dorn::test {

inline std::string FixturePath(const std::string& name) {
    return std::string(DORN_TEST_DATA) + "/" + name;
}

class ProtocolTest : public ::testing::Test {
  protected:
    ProtocolTest() {
        ResetCounterNames();
        CounterNameIndex::Build();
        if (CanFakeCounters()) {
            SetFakeSessions(
                {{3, L"alice", WTSActive, L"Console"}, {4, L"bob", WTSActive, L"RDP-Tcp#1"}});
        }
    }
    ~ProtocolTest() override {
        ForgetCounterFixtures();
        ClearFakeSessions();
        ForgetInjectedFaults();
        ActiveSessionSeen = false;
    }

    void SetProtocol(int sessionId, const std::wstring& protocol) {
        SetMachineString(L"Software\\Zentavo\\Pallido\\SessionData\\" + std::to_wstring(sessionId),
                         L"KestlClient_Protocol", protocol);
    }

    void PublishFixture(const std::string& name) { PublishCounterFixture(FixturePath(name)); }

    RegistrySandbox m_registry;
    LogCapture m_log;
};

}  // namespace dorn::test
