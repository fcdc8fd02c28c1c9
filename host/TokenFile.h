// The platform's side of the access token: its random source, its default place, and the file
// that holds it, readable and writable by its owner only (AccessToken.cpp holds what is shared).
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <span>
#include <string>

#include "Utf8Path.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace token_file {

inline std::string Describe(const std::filesystem::path& path) {
    return "token file " + Utf8FromPath(path);
}

// False with `error` when the system gives no random bytes.
bool RandomBytes(std::span<unsigned char> bytes, std::string& error);

// The place of the token when --token-file is not given; none when there is none.
std::optional<std::filesystem::path> DefaultPath();

enum class Reading { Read, Missing, Failed };

// At most `limit` bytes of the file at `path`, after checking on the opened file that it is a
// regular file of the caller's and that nobody else may read or write it.
Reading ReadPrivate(const std::filesystem::path& path, size_t limit, std::string& content,
                    std::string& error);

enum class Creation { Created, Exists, Failed };

// Makes the file at `path` (and its missing directories) open to its owner only, holding
// `content`. It appears whole or not at all, and a file that is there already is kept.
Creation CreatePrivate(const std::filesystem::path& path, const std::string& content,
                       std::string& error);

#if defined(_WIN32)
// The DACL, as SDDL, that the token file and the directories made for it get: full access for
// the process's account, SYSTEM and Administrators, protected, nothing inherited.
bool PrivateAccessList(std::wstring& sddl, std::string& error);

// False with `error` when the descriptor's owner is someone else, or its DACL lets anyone but
// the process's account, SYSTEM and Administrators read or write (no DACL: everyone may).
bool GrantsOwnerOnly(PSECURITY_DESCRIPTOR descriptor, const std::filesystem::path& path,
                     std::string& error);
#endif

}  // namespace token_file
