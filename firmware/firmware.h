/* The firmware image of every supported model, as constant data: opaque bytes for the
   adapter's own processor, sent byte for byte at every attach. Each array's bound is the
   model's exact image length. Declarations only, so any C or C++ compiler for the device
   takes this header as it stands. */
#pragma once

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

extern const BYTE Firmware7020[33552];
extern const BYTE Firmware7021[33556];
extern const BYTE Firmware7040[33392];
extern const BYTE Firmware7045[33392];
extern const BYTE Firmware7046[33396];
extern const BYTE Firmware7168[33396];
extern const BYTE Firmware7198[33396];
extern const BYTE Firmware7163[33400];
extern const BYTE Firmware7193[33400];

#ifdef __cplusplus
}
#endif
