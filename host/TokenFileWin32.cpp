// The token file on Windows: its DACL grants the owner, SYSTEM and Administrators only, is
// protected from inheritance, and is set when the file is made, so the file is never open to
// anyone else even for a moment.
#include <windows.h>
#include <aclapi.h>
#include <bcrypt.h>
#include <sddl.h>
#include <shlobj.h>

#include <cstdio>
#include <vector>

#include "ScopeGuard.h"
#include "TokenFile.h"
#include "UniqueAny.h"
#include "UniqueHandle.h"

namespace token_file {
namespace {

// Memory the security calls allocate with LocalAlloc: descriptors, SID texts.
struct LocalMemoryTraits : EmptyWhen<HLOCAL> {
    static void Close(HLOCAL memory) { LocalFree(memory); }
};
using UniqueLocalMemory = UniqueAny<LocalMemoryTraits>;

struct CoTaskMemoryTraits : EmptyWhen<PWSTR> {
    static void Close(PWSTR memory) { CoTaskMemFree(memory); }
};

std::string SystemError(DWORD code = GetLastError()) {
    return "error " + std::to_string(code);
}

// File access that reads or changes the token: whoever else holds any of it is refused.
constexpr ACCESS_MASK kReadOrWrite = FILE_READ_DATA | FILE_WRITE_DATA | FILE_APPEND_DATA |
                                     GENERIC_READ | GENERIC_WRITE | GENERIC_ALL | WRITE_DAC |
                                     WRITE_OWNER | DELETE;

std::vector<unsigned char> WellKnownSid(WELL_KNOWN_SID_TYPE type) {
    std::vector<unsigned char> sid(SECURITY_MAX_SID_SIZE);
    DWORD size = static_cast<DWORD>(sid.size());
    if (!CreateWellKnownSid(type, nullptr, sid.data(), &size)) return {};
    sid.resize(size);
    return sid;
}

// The account the process runs as: the token's user (LocalSystem for a service).
bool ProcessUserSid(std::vector<unsigned char>& sid, std::string& error) {
    UniqueHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) {
        error = "cannot read the process's account: " + SystemError();
        return false;
    }
    DWORD size = 0;
    GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    std::vector<unsigned char> buffer(size);
    if (size == 0 || !GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size)) {
        error = "cannot read the process's account: " + SystemError();
        return false;
    }
    const PSID user = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
    const auto* first = static_cast<const unsigned char*>(user);
    sid.assign(first, first + GetLengthSid(user));
    return true;
}

std::string SidText(PSID sid) {
    UniqueLocalMemory text;
    LPWSTR raw = nullptr;
    if (!ConvertSidToStringSidW(sid, &raw)) return "an unknown account";
    text.reset(raw);
    std::string narrow;
    for (const wchar_t* c = raw; *c != L'\0'; ++c) narrow += static_cast<char>(*c);
    return narrow;
}

bool PrivateDescriptor(UniqueLocalMemory& descriptor, std::string& error) {
    std::wstring sddl;
    if (!PrivateAccessList(sddl, error)) return false;
    PSECURITY_DESCRIPTOR made = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &made,
                                                              nullptr)) {
        error = "cannot make the token file's access list: " + SystemError();
        return false;
    }
    descriptor.reset(made);
    return true;
}

bool MakeDirectories(const std::filesystem::path& directory, SECURITY_ATTRIBUTES& attributes,
                     std::string& error) {
    std::filesystem::path partial;
    for (const std::filesystem::path& part : directory) {
        partial /= part;
        if (!partial.has_relative_path()) continue;  // "C:" and "C:\" are no directories to make
        if (!CreateDirectoryW(partial.c_str(), &attributes) &&
            GetLastError() != ERROR_ALREADY_EXISTS) {
            error = "cannot make the directory " + Utf8FromPath(partial) + ": " + SystemError();
            return false;
        }
    }
    return true;
}

bool WriteAll(HANDLE file, const std::string& text) {
    DWORD written = 0;
    return WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
           written == text.size() && FlushFileBuffers(file);
}

bool IsTrusted(PSID sid, const std::vector<unsigned char>& user,
               const std::vector<unsigned char>& system,
               const std::vector<unsigned char>& administrators) {
    for (const std::vector<unsigned char>* trusted : {&user, &system, &administrators}) {
        if (!trusted->empty() && EqualSid(sid, const_cast<unsigned char*>(trusted->data()))) {
            return true;
        }
    }
    return false;
}

bool CheckAccessList(HANDLE file, const std::filesystem::path& path, std::string& error) {
    PSECURITY_DESCRIPTOR raw = nullptr;
    const DWORD status = GetSecurityInfo(file, SE_FILE_OBJECT,
                                         OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                         nullptr, nullptr, nullptr, nullptr, &raw);
    const UniqueLocalMemory descriptor(raw);
    if (status != ERROR_SUCCESS) {
        error = "cannot read the access list of " + Describe(path) + ": " + SystemError(status);
        return false;
    }
    return GrantsOwnerOnly(raw, path, error);
}

}  // namespace

bool PrivateAccessList(std::wstring& sddl, std::string& error) {
    std::vector<unsigned char> user;
    if (!ProcessUserSid(user, error)) return false;
    const std::string userText = SidText(user.data());
    sddl = L"D:P(A;;FA;;;" + std::wstring(userText.begin(), userText.end()) +
           L")(A;;FA;;;SY)(A;;FA;;;BA)";
    return true;
}

bool GrantsOwnerOnly(PSECURITY_DESCRIPTOR descriptor, const std::filesystem::path& path,
                     std::string& error) {
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    BOOL present = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) ||
        !GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted)) {
        error = "cannot read the access list of " + Describe(path) + ": " + SystemError();
        return false;
    }
    std::vector<unsigned char> user;
    if (!ProcessUserSid(user, error)) return false;
    const std::vector<unsigned char> system = WellKnownSid(WinLocalSystemSid);
    const std::vector<unsigned char> administrators = WellKnownSid(WinBuiltinAdministratorsSid);
    const std::string remedy = "; allow its owner, SYSTEM and Administrators only";
    if (owner != nullptr && !IsTrusted(owner, user, system, administrators)) {
        error = Describe(path) + " belongs to another user";
        return false;
    }
    if (!present || dacl == nullptr) {
        error = Describe(path) + " is open to everyone (it has no access list)" + remedy;
        return false;
    }
    for (DWORD index = 0; index < dacl->AceCount; ++index) {
        void* entry = nullptr;
        if (!GetAce(dacl, index, &entry)) continue;
        const auto* header = static_cast<const ACE_HEADER*>(entry);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE)) {
            continue;  // denials narrow access; inherit-only entries do not apply to the file
        }
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
        const PSID sid = &allowed->SidStart;
        if ((allowed->Mask & kReadOrWrite) != 0 && !IsTrusted(sid, user, system, administrators)) {
            error = Describe(path) + " is open to other users (" + SidText(sid) +
                    " may read or write it)" + remedy;
            return false;
        }
    }
    return true;
}

bool RandomBytes(std::span<unsigned char> bytes, std::string& error) {
    const NTSTATUS status = BCryptGenRandom(nullptr, bytes.data(), static_cast<ULONG>(bytes.size()),
                                            BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    if (status < 0) {
        error = "cannot get random bytes from the system: status 0x" + [status] {
            char text[16];
            std::snprintf(text, sizeof text, "%08lx", static_cast<unsigned long>(status));
            return std::string(text);
        }();
        return false;
    }
    return true;
}

// The local application data of the process's account, \dorn\token (for a service running as
// LocalSystem, the system profile's).
std::optional<std::filesystem::path> DefaultPath() {
    PWSTR raw = nullptr;
    const HRESULT result = SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &raw);
    const UniqueAny<CoTaskMemoryTraits> folder(raw);
    if (FAILED(result) || raw == nullptr) return std::nullopt;
    return std::filesystem::path(raw) / "dorn" / "token";
}

// Written to a temporary file beside it, then moved into place without replacing: the move
// keeps the file's DACL.
Creation CreatePrivate(const std::filesystem::path& path, const std::string& content,
                       std::string& error) {
    UniqueLocalMemory descriptor;
    if (!PrivateDescriptor(descriptor, error)) return Creation::Failed;
    SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), descriptor.get(), FALSE};
    const std::filesystem::path directory = path.parent_path().empty() ? "." : path.parent_path();
    if (!MakeDirectories(directory, attributes, error)) return Creation::Failed;
    UniqueHandle file;
    std::filesystem::path temporary;
    for (unsigned attempt = 0; !file && attempt < 100; ++attempt) {
        temporary = directory / (L".dorn-token-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                 std::to_wstring(attempt));
        file.reset(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, &attributes, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file && GetLastError() != ERROR_FILE_EXISTS) break;
    }
    if (!file) {
        error = "cannot create " + Describe(path) + ": " + SystemError();
        return Creation::Failed;
    }
    ScopeGuard removeTemporary([&temporary] { DeleteFileW(temporary.c_str()); });
    const bool written = WriteAll(file.get(), content);
    const DWORD writeError = GetLastError();
    file.reset();
    if (!written) {
        error = "cannot write " + Describe(path) + ": " + SystemError(writeError);
        return Creation::Failed;
    }
    if (!MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_WRITE_THROUGH)) {
        const DWORD code = GetLastError();
        if (code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS) return Creation::Exists;
        error = "cannot create " + Describe(path) + ": " + SystemError(code);
        return Creation::Failed;
    }
    removeTemporary.dismiss();
    return Creation::Created;
}

Reading ReadPrivate(const std::filesystem::path& path, size_t limit, std::string& content,
                    std::string& error) {
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ | READ_CONTROL,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        const DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return Reading::Missing;
        const DWORD attributes = GetFileAttributesW(path.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            error = Describe(path) + " is not a regular file";
        } else {
            error = "cannot open " + Describe(path) + ": " + SystemError(code);
        }
        return Reading::Failed;
    }
    if (GetFileType(file.get()) != FILE_TYPE_DISK) {
        error = Describe(path) + " is not a regular file";
        return Reading::Failed;
    }
    if (!CheckAccessList(file.get(), path, error)) return Reading::Failed;
    content.assign(limit, '\0');
    size_t filled = 0;
    while (filled < content.size()) {
        DWORD count = 0;
        if (!ReadFile(file.get(), content.data() + filled,
                      static_cast<DWORD>(content.size() - filled), &count, nullptr)) {
            error = "cannot read " + Describe(path) + ": " + SystemError();
            return Reading::Failed;
        }
        if (count == 0) break;
        filled += count;
    }
    content.resize(filled);
    return Reading::Read;
}

}  // namespace token_file
