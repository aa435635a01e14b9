// The platform's umbrella header, as the stand-in provides it on Linux.
#pragma once

#include "windef.h"
#include "winerror.h"
#include "winbase.h"
#include "winreg.h"
#include "winuser.h"
