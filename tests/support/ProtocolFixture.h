// What the protocol and async-runner tests share: an empty registry with one session's
// protocol, the fixture counter objects, the sessions of alice (3) and bob (4), and the gate
// that stands in for the sampler's one-second wait.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "CounterNameIndex.h"
#include "CounterSetUpdate.h"
#include "ProtocolMetrics.h"
#include "LogCapture.h"
#include "TestRegistry.h"
#include "CounterFakes.h"
#include "FaultInjection.h"

namespace dorn::test {

inline std::string FixturePath(const std::string& name) {
    return std::string(DORN_TEST_DATA) + "/" + name;
}

// The wait between a sample's two collections, as the tests drive it: it records the interval
// each sampler asks for, runs `onArrival` (which may throw), and holds the sampler while closed.
struct SampleGate {
    std::mutex lock;
    std::condition_variable changed;
    bool open = true;
    int waiting = 0;
    int mostWaiting = 0;
    std::vector<DWORD> intervals;
    std::function<void()> onArrival;  // set only while no sampler runs

    static SampleGate& Instance() {
        static SampleGate gate;
        return gate;
    }
    static void Wait(DWORD milliseconds) { Instance().Pass(milliseconds); }

    void Pass(DWORD milliseconds) {
        {
            std::lock_guard<std::mutex> hold(lock);
            intervals.push_back(milliseconds);
        }
        if (onArrival) onArrival();
        std::unique_lock<std::mutex> hold(lock);
        mostWaiting = std::max(mostWaiting, ++waiting);
        changed.notify_all();
        changed.wait(hold, [this] { return open; });
        --waiting;
    }
    void Reset() {
        std::lock_guard<std::mutex> hold(lock);
        open = true;
        waiting = mostWaiting = 0;
        intervals.clear();
        onArrival = nullptr;
    }
    void SetOpen(bool isOpen) {
        std::lock_guard<std::mutex> hold(lock);
        open = isOpen;
        changed.notify_all();
    }
    int Waiting() {
        std::lock_guard<std::mutex> hold(lock);
        return waiting;
    }
};

class ProtocolTest : public ::testing::Test {
  protected:
    ProtocolTest() {
        SampleGate::Instance().Reset();
        SetSampleIntervalWait(&SampleGate::Wait);
        ResetCounterNames();
        CounterNameIndex::Build();
        if (CanFakeCounters()) {
            SetFakeSessions(
                {{3, L"alice", WTSActive, L"Console"}, {4, L"bob", WTSActive, L"RDP-Tcp#1"}});
        }
    }
    ~ProtocolTest() override {
        ForgetCounterFixtures();
        ForgetInjectedFaults();
        ActiveSessionSeen = false;
        SampleGate::Instance().SetOpen(true);
        SetSampleIntervalWait(nullptr);
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
