#include "AccessToken.h"

#include <array>

#include "TokenFile.h"

namespace {

using token_file::Describe;

constexpr size_t kSecretBytes = 32;
constexpr size_t kTokenLength = kSecretBytes * 2;
// A token file is tiny; anything longer than a token and a line break is not one.
constexpr size_t kLongestFile = kTokenLength + 2;

bool IsHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool NewToken(std::string& token, std::string& error) {
    std::array<unsigned char, kSecretBytes> bytes{};
    if (!token_file::RandomBytes(bytes, error)) return false;
    constexpr const char* kDigits = "0123456789abcdef";
    token.clear();
    for (const unsigned char byte : bytes) {
        token += kDigits[byte >> 4];
        token += kDigits[byte & 0xf];
    }
    return true;
}

bool ParseToken(std::string content, const std::filesystem::path& path, std::string& token,
                std::string& error) {
    if (!content.empty() && content.back() == '\n') content.pop_back();
    bool valid = content.size() == kTokenLength;
    for (const char c : content) valid = valid && IsHex(c);
    if (!valid) {
        error = Describe(path) + " does not hold a token of " + std::to_string(kTokenLength) +
                " hexadecimal characters";
        return false;
    }
    token = std::move(content);
    return true;
}

token_file::Reading ReadTokenFile(const std::filesystem::path& path, std::string& token,
                                  std::string& error) {
    std::string content;
    const token_file::Reading reading =
        token_file::ReadPrivate(path, kLongestFile + 1, content, error);
    if (reading != token_file::Reading::Read) return reading;
    return ParseToken(std::move(content), path, token, error) ? token_file::Reading::Read
                                                              : token_file::Reading::Failed;
}

}  // namespace

std::optional<std::filesystem::path> DefaultTokenPath() {
    return token_file::DefaultPath();
}

bool LoadOrCreateToken(const std::filesystem::path& path, std::string& token, std::string& error) {
    using token_file::Creation;
    using token_file::Reading;
    switch (ReadTokenFile(path, token, error)) {
        case Reading::Read:
            return true;
        case Reading::Failed:
            return false;
        case Reading::Missing:
            break;
    }
    std::string fresh;
    if (!NewToken(fresh, error)) return false;
    switch (token_file::CreatePrivate(path, fresh, error)) {
        case Creation::Created:
            token = std::move(fresh);
            return true;
        case Creation::Exists:  // another start was quicker: its token is the one
            if (ReadTokenFile(path, token, error) == Reading::Read) return true;
            if (error.empty()) error = Describe(path) + " vanished while it was made";
            return false;
        case Creation::Failed:
            break;
    }
    return false;
}

bool TokensEqual(std::string_view given, std::string_view expected) {
    if (given.size() != expected.size()) return false;
    unsigned char difference = 0;
    for (size_t i = 0; i < given.size(); ++i) {
        difference |= static_cast<unsigned char>(given[i] ^ expected[i]);
    }
    return difference == 0;
}
