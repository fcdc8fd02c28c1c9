// Running an operation handler so that an exception ends the request as the operation's own
// failure.
#pragma once

#include "quillmesh/PropertyBag.h"

// Runs a handler and returns its result. One that throws (a text with no form in a code page,
// memory exhausted) has failed: what it had added to the reply goes, and `ownFailureText`, the
// operation's failure text where the handler reports its failures itself, takes its place (none
// when null). The exception's reason never reaches the console.
template <typename Handler>
bool RunHandler(CORE::PropertyBag& reply, const wchar_t* ownFailureText, Handler handler) {
    try {
        return handler();
    } catch (...) {
        reply = CORE::PropertyBag();
        if (ownFailureText != nullptr) reply.setError(ownFailureText);
        return false;
    }
}
