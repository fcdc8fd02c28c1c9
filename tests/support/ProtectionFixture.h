// A protection list that starts unbuilt, over the test's own sources on Linux and the system's
// on Windows; the decisions and "EndProcess" requests the tests make of it.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "UniqueHandle.h"
#include "ProcessChecker.h"
#include "ProcessTerminator.h"
#include "ServiceEnumerator.h"
#include "FaultInjection.h"
#include "LogCapture.h"
#include "TestProcesses.h"

namespace dorn::test {

class ProtectionTest : public ::testing::Test {
  protected:
    void SetUp() override { ProcessChecker::ResetForTesting(); }
    void TearDown() override { ProcessChecker::ResetForTesting(); }

    static bool Refused(const std::wstring& path, DWORD pid) {
        UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
        EXPECT_TRUE(process) << "pid " << pid << " error " << GetLastError();
        return ProcessChecker::IsProcessInBlackList(path, process.get(), pid);
    }
    // The processes of the active services, as the service manager reports them.
    static std::vector<DWORD> ServiceProcessIds() {
        std::vector<DWORD> ids;
        ServiceEnumerator enumerator([&ids](const SERVICE_STATUS_PROCESS* status) {
            ids.push_back(status->dwProcessId);
            return true;
        });
        EXPECT_TRUE(enumerator.EnumerateServices());
        return ids;
    }

    static CORE::PropertyBag EndRequest(const ProcessIdentity& process) {
        CORE::PropertyBag request;
        request.addInt64(L"processId", process.id);
        request.addInt64(L"createTime", process.createTime);
        request.add(L"processName", process.name);
        return request;
    }
    // "EndProcess" refuses: false, no reply entries, the error text `error` (empty: none), the
    // level-4 `lines` logged, no handle left open, the child still running.
    static void ExpectEndRefused(const CORE::PropertyBag& request,
                                 const std::vector<std::wstring>& lines, TestChild* child,
                                 const std::wstring& error = L"") {
        LogCapture log;
        const std::optional<size_t> handles = OpenHandleCount();
        CORE::PropertyBag reply;
        EXPECT_FALSE(ProcessTerminator::EndProcess(request, reply));
        EXPECT_TRUE(reply.empty());
        EXPECT_EQ(reply.isError(), !error.empty());
        EXPECT_EQ(reply.getErrorText(), error);
        EXPECT_EQ(OpenHandleCount(), handles) << "a handle leaked";
        for (const std::wstring& line : lines) EXPECT_TRUE(log.Has(4, line)) << line;
        if (child != nullptr) {
            EXPECT_TRUE(child->Running());
        }
    }

  private:
    ProtectionSources m_sources;
};

}  // namespace dorn::test
