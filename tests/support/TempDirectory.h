// A fresh directory for one test's files, removed with its contents at the end.
#pragma once

#include <windows.h>
// After windows.h.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>

namespace dorn::test {

class TempDirectory {
  public:
    TempDirectory() {
        static std::atomic<int> made{0};
        m_path =
            std::filesystem::temp_directory_path() /
            ("dorn-test-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(made++));
        std::error_code error;
        std::filesystem::remove_all(m_path, error);  // left by an earlier process with our id
        if (!std::filesystem::create_directories(m_path, error)) {
            ADD_FAILURE() << "cannot make " << m_path << ": " << error.message();
        }
    }
    ~TempDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;

    const std::filesystem::path& Path() const { return m_path; }
    std::string Path(const std::string& name) const { return (m_path / name).string(); }

    // Written in place (same inode), as a careless publisher does.
    std::string Write(const std::string& name, const std::string& text) const {
        std::ofstream(Path(name), std::ios::binary | std::ios::trunc) << text;
        return Path(name);
    }
    // Written beside and renamed over the old file, as a careful publisher does.
    std::string Replace(const std::string& name, const std::string& text) const {
        Write(name + ".new", text);
        std::filesystem::rename(Path(name + ".new"), Path(name));
        return Path(name);
    }

  private:
    std::filesystem::path m_path;
};

}  // namespace dorn::test
