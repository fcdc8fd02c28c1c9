// The subset of the Windows API that dorn and its plug-in call, implemented over Linux.
#pragma once

#include "windef.h"
#include "winerror.h"
#include "winbase.h"
#include "winreg.h"
#include "stringapiset.h"
#include "winuser.h"
#include "winnt.h"
#include "processthreadsapi.h"
#include "synchapi.h"
#include "securitybaseapi.h"
#include "sysinfoapi.h"
#include "fileapi.h"
#include "winsvc.h"
