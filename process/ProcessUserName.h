// The account that runs a process, read from its access token.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

// On success sets the account name and its domain; on failure leaves both untouched. A
// process that may not be opened (access denied) fails without a log line.
bool GetProcessUserName(uint32_t processId, std::wstring& userName, std::wstring& domainName);
