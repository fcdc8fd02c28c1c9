// A protection list built from seeded sources: a system directory and a service tree made by
// the test, and no failures armed.
#pragma once

#include <gtest/gtest.h>
#include <winport/testing.h>

#include "process/ProcessChecker.h"
#include "tests/process/ProcessTestSupport.h"

namespace dorn::test {

class ProtectionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        MakeDirectories(m_root.Path() + "/system");
        MakeDirectories(m_root.Path() + "/services");
        winport::testing::SetSystemDirectory(SystemDirectory());
        winport::testing::SetServiceRoot(ServiceRoot());
        ProcessChecker::ResetForTesting();
    }
    void TearDown() override {
        winport::testing::ClearFailures();
        winport::testing::SetSystemDirectory(L"");
        winport::testing::SetServiceRoot("");
        ProcessChecker::ResetForTesting();
    }

    std::wstring SystemDirectory() const { return ToZPath(m_root.Path() + "/system"); }
    std::string ServiceRoot() const { return m_root.Path() + "/services"; }
    std::string Scratch() const { return m_root.Path(); }
    // A service cgroup `relative` under the service root listing `pids`.
    void AddService(const std::string& relative, const std::string& pids) {
        MakeDirectories(ServiceRoot() + "/" + relative);
        WriteTextFile(ServiceRoot() + "/" + relative + "/cgroup.procs", pids);
    }

  private:
    TempDir m_root;
};

}  // namespace dorn::test
