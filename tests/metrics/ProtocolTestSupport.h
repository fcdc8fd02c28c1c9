// What the protocol and async-runner tests share: an empty registry with one session's
// protocol, the fixture counter objects and the sessions of alice (3) and bob (4).
#pragma once

#include <gtest/gtest.h>
#include <winport/counters_testing.h>
#include <winport/publish.h>
#include <winport/testing.h>

#include <string>

#include "counters/CounterNameIndex.h"
#include "counters/CounterSetUpdate.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TestRegistry.h"

namespace dorn::test {

inline std::string FixturePath(const std::string& name) {
    return std::string(DORN_TEST_DATA) + "/" + name;
}

class ProtocolTest : public ::testing::Test {
  protected:
    ProtocolTest() {
        winport::testing::RepublishCounterNames();
        CounterNameIndex::Build();
        winport::testing::SetSessions(
            {{3, L"alice", WTSActive, L"Console"}, {4, L"bob", WTSActive, L"RDP-Tcp#1"}});
    }
    ~ProtocolTest() override {
        winport::testing::ForgetCounterFiles();
        winport::testing::ClearSessions();
        winport::testing::ClearFailures();
        ActiveSessionSeen = false;
    }

    void SetProtocol(int sessionId, const std::wstring& protocol) {
        SetMachineString(L"Software\\Zentavo\\Pallido\\SessionData\\" + std::to_wstring(sessionId),
                         L"KestlClient_Protocol", protocol);
    }

    void PublishFixture(const std::string& name) {
        std::string error;
        ASSERT_TRUE(winport::PublishCounterFile(FixturePath(name), error)) << error;
    }

    RegistrySandbox m_registry;
    LogCapture m_log;
};

}  // namespace dorn::test
