// The subset of the Windows API that dorn and its plug-in call, implemented over Linux.
#pragma once

#include "windef.h"
#include "winerror.h"
#include "winbase.h"
#include "winreg.h"
#include "stringapiset.h"
#include "winuser.h"
