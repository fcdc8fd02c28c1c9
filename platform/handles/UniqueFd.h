// The owners of POSIX handles: a file descriptor and an open directory listing. They need no
// Windows names, so winport's own sources use them too.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include "UniqueAny.h"

struct FdTraits : EmptyWhen<int, -1> {
    static constexpr bool IsEmpty(int fd) { return fd < 0; }
    static void Close(int fd) { ::close(fd); }
};

struct DirTraits : EmptyWhen<DIR*> {
    static void Close(DIR* directory) { ::closedir(directory); }
};

using UniqueFd = UniqueAny<FdTraits>;
using UniqueDir = UniqueAny<DirTraits>;
