// A stand-in for the performance monitor worker "perfmon": records the messages it is sent and
// answers them as a test chooses.
#pragma once

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "quillmesh/Framework.h"

namespace dorn::test {

class MonitorStub {
  public:
    // Registers "perfmon", replacing any earlier one; removed again when the object ends.
    explicit MonitorStub(bool answer = true) {
        {
            const std::lock_guard<std::mutex> lock(State().lock);
            State().messages.clear();
            State().answer = answer;
        }
        CORE::Quillmesh::System()->AddWorker(Create, L"perfmon", L"test monitor", true, false, true,
                                             false);
    }
    ~MonitorStub() { CORE::Quillmesh::System()->RemoveWorker(L"perfmon", true); }
    MonitorStub(const MonitorStub&) = delete;
    MonitorStub& operator=(const MonitorStub&) = delete;

    // Operation name and parameters of every message received, in order.
    std::vector<std::pair<std::wstring, CORE::PropertyBag>> Messages() const {
        const std::lock_guard<std::mutex> lock(State().lock);
        return State().messages;
    }

  private:
    struct Shared {
        std::mutex lock;
        std::vector<std::pair<std::wstring, CORE::PropertyBag>> messages;
        bool answer = true;
    };
    static Shared& State() {
        static Shared shared;
        return shared;
    }

    class Item : public CORE::WorkItem {
      public:
        bool MessageHandler(const CORE::corestring<wchar_t>& operation,
                            const CORE::PropertyBag& request, CORE::PropertyBag&) override {
            const std::lock_guard<std::mutex> lock(State().lock);
            State().messages.emplace_back(operation.c_str(), request);
            return State().answer;
        }
    };
    static CORE::WorkItem* Create() { return new Item; }
};

}  // namespace dorn::test
