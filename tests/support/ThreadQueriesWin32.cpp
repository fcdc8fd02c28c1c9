#include "ThreadQueries.h"

#include <gtest/gtest.h>
// After windows.h (from the header above), which it needs.
#include <tlhelp32.h>

#include "SystemFunction.h"
#include "TextConvert.h"
#include "UniqueHandle.h"

namespace dorn::test {
namespace {

using GetThreadDescriptionFunction = HRESULT(WINAPI*)(HANDLE, PWSTR*);

// Looked up as the product looks up its setter: older systems lack it.
SystemFunction<GetThreadDescriptionFunction> g_getThreadDescription(L"kernel32.dll",
                                                                    "GetThreadDescription");

}  // namespace

std::string SystemThreadName(DWORD threadId) {
    const GetThreadDescriptionFunction getter = g_getThreadDescription.Find();
    if (getter == nullptr) return {};
    UniqueHandle thread(OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, threadId));
    if (!thread) return {};
    PWSTR description = nullptr;
    if (FAILED(getter(thread.get(), &description)) || description == nullptr) return {};
    std::string name = quillmesh::Utf8FromWideLossy(description);
    LocalFree(description);
    return name;
}

std::set<DWORD> ProcessThreadIds() {
    std::set<DWORD> ids;
    UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    if (!snapshot) {
        ADD_FAILURE() << "no thread snapshot, error " << GetLastError();
        return ids;
    }
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    const DWORD self = GetCurrentProcessId();
    for (BOOL more = Thread32First(snapshot.get(), &entry); more;
         more = Thread32Next(snapshot.get(), &entry)) {
        if (entry.th32OwnerProcessID == self) ids.insert(entry.th32ThreadID);
    }
    return ids;
}

bool KeepsThreadRecords() {
    return true;
}

std::map<DWORD, DWORD> ExitCodesAfter(const std::set<DWORD>& ids,
                                      const std::function<void()>& action) {
    std::map<DWORD, UniqueHandle> watched;
    for (DWORD id : ids) {
        HANDLE thread = OpenThread(SYNCHRONIZE | THREAD_QUERY_LIMITED_INFORMATION, FALSE, id);
        if (thread != nullptr) watched.emplace(id, UniqueHandle(thread));
    }
    action();
    std::map<DWORD, DWORD> ended;
    for (const auto& [id, thread] : watched) {
        DWORD code = 0;
        if (WaitForSingleObject(thread.get(), 0) == WAIT_OBJECT_0 &&
            GetExitCodeThread(thread.get(), &code)) {
            ended.emplace(id, code);
        }
    }
    return ended;
}

}  // namespace dorn::test
