# The 32-bit x86 Linux configuration: the stand-in, the simulated adapter, the COM driver,
# the Linux builds of the deliverables and their tests as i386 programs, so that code built
# for the device (32-bit, cdecl) can share an address space and records with them. This
# kernel cannot start 32-bit programs itself; qemu-i386 runs them, and CMake puts it in
# front of every test command and of every build-time tool it runs.
#
#   cmake -S . -B build/i386 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/i386-linux.cmake \
#         -DQSX_SANITIZER=none -DCMAKE_PREFIX_PATH=<32-bit GoogleTest>
#
# clang, the compiler of the other test builds and of the device images, so one front end
# decides both sides of every shared record layout.
#
# SSE2 arithmetic (every x86-64 host that runs qemu-i386 has it) gives the same
# floating-point results as the 64-bit builds, without the x87's extra precision. SSE
# values kept on the stack need it 16-byte aligned, which SysV i386 code assumes on entry;
# the device keeps its stack only 4-byte aligned. -mstackrealign makes every function
# realign its own frame, so any of ours that code built for the device calls into is safe
# (test_kernel calls the platform with the stack 4, 8 and 12 bytes off), and what it calls
# in turn gets the alignment it expects.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
# Libraries and packages are looked for in the 32-bit folders (and CMAKE_PREFIX_PATH, where
# the 32-bit GoogleTest is) before the host's 64-bit ones, which would link but not run.
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)

# g++ builds it too (-DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++).
if(NOT CMAKE_C_COMPILER)
  set(CMAKE_C_COMPILER clang)
endif()
if(NOT CMAKE_CXX_COMPILER)
  set(CMAKE_CXX_COMPILER clang++)
endif()
set(CMAKE_C_FLAGS_INIT "-m32 -msse2 -mfpmath=sse -mstackrealign")
set(CMAKE_CXX_FLAGS_INIT "-m32 -msse2 -mfpmath=sse -mstackrealign")
set(CMAKE_ASM_FLAGS_INIT "-m32")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")

find_program(QSX_QEMU_I386 qemu-i386 REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${QSX_QEMU_I386})
