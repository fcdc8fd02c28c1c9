#include "ConnectionCapacity.h"

// Sockets are handles, of which a process has no small limit; writes to a closed socket fail
// with an error rather than a signal.
size_t PrepareConnectionCapacity() {
    return 4096;
}
