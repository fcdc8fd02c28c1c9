// Which endpoint of the console server a request names, by path and method.
#pragma once

#include <string>

enum class Endpoint {
    Login,        // GET /login
    Index,        // GET /
    ConsoleFile,  // GET /console/NAME
    Sessions,     // GET /api/sessions
    Metrics,      // GET /metrics
    Api,          // POST /api/OPCODE
    NoSuchPath,   // 404
    WrongMethod,  // 405
};

struct Route {
    Endpoint endpoint = Endpoint::NoSuchPath;
    std::string name;   // ConsoleFile: the file name; Api: the opcode
    std::string allow;  // WrongMethod: the methods the path takes, for the Allow header
};

inline constexpr const char* kApiPrefix = "/api/";

// `path` is the decoded path without the query. HEAD is taken wherever GET is.
Route ResolveRoute(const std::string& method, const std::string& path);
