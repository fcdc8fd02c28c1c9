// Linux-only hooks of the host: counter objects published by other components, and sessions
// declared for machines without logind. Both files are JSON (docs/counter-files.md) and are
// read again whenever they change, so another process can keep them current.
#pragma once

#include <string>

#include "../windef.h"

namespace winport {

// Publishes the counter objects of the file. False with `error` naming the file and the reason
// when it cannot be read or does not parse; nothing is published then. Publishing a file again
// reads it again.
WINPORT_API bool PublishCounterFile(const std::string& path, std::string& error);

// Adds the sessions of the file to the machine's login sessions. False with `error` naming the
// file and the reason when it cannot be read or does not parse; nothing is declared then.
WINPORT_API bool DeclareSessionsFile(const std::string& path, std::string& error);

}  // namespace winport
