#include "RequestCredentials.h"

#include "HttpText.h"

namespace {

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

}  // namespace

std::optional<std::string_view> BearerToken(std::string_view authorization) {
    authorization = Trim(authorization);
    const size_t space = authorization.find(' ');
    if (space == std::string_view::npos ||
        !EqualsIgnoringCase(authorization.substr(0, space), "Bearer")) {
        return std::nullopt;
    }
    const std::string_view token = Trim(authorization.substr(space + 1));
    if (token.empty()) return std::nullopt;
    return token;
}

std::optional<std::string_view> CookieValue(std::string_view cookies, std::string_view name) {
    while (!cookies.empty()) {
        const size_t end = cookies.find(';');
        const std::string_view pair = Trim(cookies.substr(0, end));
        const size_t equals = pair.find('=');
        if (equals != std::string_view::npos && Trim(pair.substr(0, equals)) == name) {
            return Trim(pair.substr(equals + 1));
        }
        if (end == std::string_view::npos) break;
        cookies.remove_prefix(end + 1);
    }
    return std::nullopt;
}
