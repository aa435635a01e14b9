/* Differences between the device's compiler and mingw's g++ that the syntax check has to
   bridge; nothing here changes what the code means on the device.
   - Structured exception handling is a keyword pair there; here the guarded block
     compiles as a plain block.
   - The device's WinMain takes a wide command line, the desktop's a narrow one, and g++
     gives that name C linkage: the device's entry is checked under another name. */
#pragma once
#define __try if (1)
#define __except(filter) else if ((filter) && 0)
#define WinMain QsxDeviceWinMain
