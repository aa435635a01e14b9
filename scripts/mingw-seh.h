/* The device's compiler has structured exception handling as keywords; mingw's g++ has
   not. For the syntax check only, the guarded block compiles as a plain block. */
#pragma once
#define __try if (1)
#define __except(filter) else if ((filter) && 0)
