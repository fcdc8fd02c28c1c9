// The token file's DACL on Windows: made for the owner, SYSTEM and Administrators only, and a
// file open to anyone else refused at the start.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
// After windows.h.
#include <gtest/gtest.h>

#include <set>
#include <utility>
#include <vector>
#include <string>

#include "AccessToken.h"
#include "TokenFile.h"
#include "TempDirectory.h"
#include "UniqueAny.h"
#include "UniqueHandle.h"

namespace dorn::test {
namespace {

struct LocalMemoryTraits : EmptyWhen<HLOCAL> {
    static void Close(HLOCAL memory) { LocalFree(memory); }
};
using UniqueLocalMemory = UniqueAny<LocalMemoryTraits>;

std::wstring SidText(PSID sid) {
    LPWSTR text = nullptr;
    if (!ConvertSidToStringSidW(sid, &text)) return L"?";
    const UniqueLocalMemory owner(text);
    return text;
}

std::wstring ProcessUser() {
    UniqueHandle token;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put());
    alignas(TOKEN_USER) char buffer[256] = {};
    DWORD size = sizeof buffer;
    const BOOL read = GetTokenInformation(token.get(), TokenUser, buffer, size, &size);
    return read ? SidText(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid) : L"";
}

std::multiset<std::wstring> Entries(PACL dacl) {
    std::multiset<std::wstring> entries;  // "A;SID;MASK;FLAGS"
    for (DWORD index = 0; dacl != nullptr && index < dacl->AceCount; ++index) {
        void* entry = nullptr;
        GetAce(dacl, index, &entry);
        const auto* header = static_cast<ACE_HEADER*>(entry);
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
        entries.insert((header->AceType == ACCESS_ALLOWED_ACE_TYPE ? L"A;" : L"other;") +
                       SidText(&allowed->SidStart) + L";" + std::to_wstring(allowed->Mask) + L";" +
                       std::to_wstring(header->AceFlags));
    }
    return entries;
}

bool IsProtected(PSECURITY_DESCRIPTOR descriptor) {
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    return GetSecurityDescriptorControl(descriptor, &control, &revision) &&
           (control & SE_DACL_PROTECTED) != 0;
}

UniqueLocalMemory Descriptor(const std::wstring& sddl) {
    PSECURITY_DESCRIPTOR raw = nullptr;
    EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                                     &raw, nullptr))
        << GetLastError();
    return UniqueLocalMemory(raw);
}

PACL DaclOf(PSECURITY_DESCRIPTOR descriptor) {
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
    return dacl;
}

void SetAccessList(const std::filesystem::path& path, const std::wstring& sddl) {
    const UniqueLocalMemory descriptor = Descriptor(sddl);
    ASSERT_EQ(SetNamedSecurityInfoW(const_cast<wchar_t*>(path.c_str()), SE_FILE_OBJECT,
                                    DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                    nullptr, nullptr, DaclOf(descriptor.get()), nullptr),
              static_cast<DWORD>(ERROR_SUCCESS));
}

bool RunsUnderWine() {
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

// 0x1F01FF: FILE_ALL_ACCESS; nothing inherited, nothing to inherit.
std::multiset<std::wstring> PrivateEntries() {
    return {L"A;" + ProcessUser() + L";2032127;0", L"A;S-1-5-18;2032127;0",
            L"A;S-1-5-32-544;2032127;0"};
}

TEST(AccessTokenWin32Test, TheFileIsMadeForTheOwnerSystemAndAdministratorsOnly) {
    std::wstring sddl;
    std::string error;
    ASSERT_TRUE(token_file::PrivateAccessList(sddl, error)) << error;
    const UniqueLocalMemory made = Descriptor(sddl);
    EXPECT_TRUE(IsProtected(made.get()));
    EXPECT_EQ(Entries(DaclOf(made.get())), PrivateEntries());

    const TempDirectory root;
    const std::filesystem::path path = root.Path() / "made" / "dorn" / "token";
    std::string token;
    ASSERT_TRUE(LoadOrCreateToken(path, token, error)) << error;
    EXPECT_EQ(token.size(), 64u);
    std::string again;
    ASSERT_TRUE(LoadOrCreateToken(path, again, error)) << error;
    EXPECT_EQ(again, token);

    std::vector<std::pair<std::filesystem::path, UniqueLocalMemory>> readBack;
    for (const std::filesystem::path& file : {path, path.parent_path()}) {
        PSECURITY_DESCRIPTOR raw = nullptr;
        ASSERT_EQ(GetNamedSecurityInfoW(file.c_str(), SE_FILE_OBJECT,
                                        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                        nullptr, nullptr, nullptr, nullptr, &raw),
                  static_cast<DWORD>(ERROR_SUCCESS));
        readBack.emplace_back(file, UniqueLocalMemory(raw));
        EXPECT_TRUE(token_file::GrantsOwnerOnly(raw, file, error)) << error;
    }

    // Opened to everyone afterwards, it stops the next start.
    SetAccessList(path, L"D:P(A;;FA;;;" + ProcessUser() + L")(A;;FR;;;WD)");
    EXPECT_FALSE(LoadOrCreateToken(path, again, error));
    EXPECT_NE(error.find("is open to other users (S-1-1-0 may read or write it)"),
              std::string::npos)
        << error;

    if (RunsUnderWine()) {
        GTEST_SKIP() << "Wine keeps a file's security as Unix mode bits only: the DACL read back "
                        "is made from them, not the one the file was created with";
    }
    for (const auto& [file, descriptor] : readBack) {
        EXPECT_TRUE(IsProtected(descriptor.get())) << file;
        EXPECT_EQ(Entries(DaclOf(descriptor.get())), PrivateEntries()) << file;
    }
}

TEST(AccessTokenWin32Test, AccessListsOpenToOthersAreRefused) {
    const std::wstring trusted = L"(A;;FA;;;" + ProcessUser() + L")(A;;FA;;;SY)(A;;FA;;;BA)";
    const std::string open = "is open to other users (";
    const struct {
        std::wstring sddl;
        std::string refusal;  // empty: accepted
    } cases[] = {
        {L"D:P" + trusted, ""},
        {L"O:SYD:P" + trusted, ""},
        {L"O:BAD:P(A;;FA;;;SY)", ""},
        {L"D:P" + trusted + L"(A;;0x120080;;;WD)", ""},  // attributes, permissions, synchronise
        {L"D:P" + trusted + L"(D;;FA;;;WD)", ""},        // a denial widens nothing
        {L"D:P" + trusted + L"(A;OICIIO;FA;;;WD)", ""},  // for children only
        {L"D:P" + trusted + L"(A;;FR;;;WD)", open + "S-1-1-0 may read or write it)"},
        {L"D:P" + trusted + L"(A;;0x1;;;BU)", open + "S-1-5-32-545 may read or write it)"},
        {L"D:P" + trusted + L"(A;;0x2;;;AU)", open + "S-1-5-11 may read or write it)"},
        {L"D:P" + trusted + L"(A;;0x4;;;WD)", open + "S-1-1-0 may read or write it)"},
        {L"D:P" + trusted + L"(A;;GA;;;WD)", open + "S-1-1-0 may read or write it)"},
        {L"D:P" + trusted + L"(A;;GR;;;WD)", open + "S-1-1-0 may read or write it)"},
        {L"D:P" + trusted + L"(A;;GW;;;WD)", open + "S-1-1-0 may read or write it)"},
        {L"D:P" + trusted + L"(A;;WD;;;WD)", open + "S-1-1-0 may read or write it)"},
        {L"O:WDD:P" + trusted, "belongs to another user"},
        {L"O:SY", "is open to everyone (it has no access list)"},
    };
    for (const auto& example : cases) {
        const UniqueLocalMemory descriptor = Descriptor(example.sddl);
        std::string error;
        const bool accepted = token_file::GrantsOwnerOnly(descriptor.get(), "t", error);
        EXPECT_EQ(accepted, example.refusal.empty()) << error;
        if (!example.refusal.empty()) {
            EXPECT_EQ(error.find("token file t " + example.refusal), 0u) << error;
        }
    }
    // A DACL that is there but null lets everyone in (made by hand: Wine reads
    // "D:NO_ACCESS_CONTROL" as an empty list).
    SECURITY_DESCRIPTOR nullDacl{};
    InitializeSecurityDescriptor(&nullDacl, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&nullDacl, TRUE, nullptr, FALSE);
    std::string error;
    EXPECT_FALSE(token_file::GrantsOwnerOnly(&nullDacl, "t", error));
    EXPECT_EQ(error,
              "token file t is open to everyone (it has no access list); allow its owner, "
              "SYSTEM and Administrators only");
}

}  // namespace
}  // namespace dorn::test
