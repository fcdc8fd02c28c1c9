#include "ConsoleRoutes.h"

namespace {

constexpr const char* kConsolePrefix = "/console/";

// What a path offers to GET (and HEAD) and to POST; NoSuchPath where it offers nothing.
struct PathOffer {
    Endpoint get = Endpoint::NoSuchPath;
    Endpoint post = Endpoint::NoSuchPath;
    std::string name;
};

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

bool IsOpcode(const std::string& text) {
    if (text.empty()) return false;
    for (const char c : text) {
        const bool allowed =
            (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
        if (!allowed) return false;
    }
    return true;
}

PathOffer OfferOf(const std::string& path) {
    if (path == "/") return {Endpoint::Index, Endpoint::NoSuchPath, ""};
    if (path == "/login") return {Endpoint::Login, Endpoint::NoSuchPath, ""};
    if (path == "/metrics") return {Endpoint::Metrics, Endpoint::NoSuchPath, ""};
    if (StartsWith(path, kConsolePrefix)) {
        return {Endpoint::ConsoleFile, Endpoint::NoSuchPath,
                path.substr(std::string(kConsolePrefix).size())};
    }
    if (StartsWith(path, kApiPrefix)) {
        const std::string opcode = path.substr(std::string(kApiPrefix).size());
        if (!IsOpcode(opcode)) return {};
        // "sessions" is also an opcode name: POSTed, it goes to the plug-in like any other.
        return {opcode == "sessions" ? Endpoint::Sessions : Endpoint::NoSuchPath, Endpoint::Api,
                opcode};
    }
    return {};
}

std::string AllowedMethods(const PathOffer& offer) {
    std::string allow;
    if (offer.get != Endpoint::NoSuchPath) allow = "GET, HEAD";
    if (offer.post != Endpoint::NoSuchPath) allow += allow.empty() ? "POST" : ", POST";
    return allow;
}

}  // namespace

Route ResolveRoute(const std::string& method, const std::string& path) {
    const PathOffer offer = OfferOf(path);
    if (offer.get == Endpoint::NoSuchPath && offer.post == Endpoint::NoSuchPath) return {};
    Endpoint endpoint = Endpoint::NoSuchPath;
    if (method == "GET" || method == "HEAD") endpoint = offer.get;
    if (method == "POST") endpoint = offer.post;
    if (endpoint == Endpoint::NoSuchPath) {
        return {Endpoint::WrongMethod, "", AllowedMethods(offer)};
    }
    return {endpoint, offer.name, ""};
}
