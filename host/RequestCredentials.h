// Where a request to the console server carries the access token: an
// "Authorization: Bearer TOKEN" header or the cookie "dorn_token".
#pragma once

#include <optional>
#include <string_view>

inline constexpr std::string_view kTokenCookie = "dorn_token";

// The token of an Authorization header of the Bearer scheme (named in any case).
std::optional<std::string_view> BearerToken(std::string_view authorization);

// The value of cookie `name` in a Cookie header ("a=1; b=2").
std::optional<std::string_view> CookieValue(std::string_view cookies, std::string_view name);
