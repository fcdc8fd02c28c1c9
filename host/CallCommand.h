// "dorn call": one request to the plug-in, its reply printed as JSON.
#pragma once

#include "CommandLine.h"

// Exit status: 0 result true, 1 result false or the plug-in unusable, 2 bad input.
int RunCall(const CallOptions& options);
