# Cross-compiles for Windows x86-64 with Debian's mingw-w64 (posix threads model, which
# std::thread needs) and runs the programs it builds under Wine:
#
#   cmake -S . -B build-windows --toolchain cmake/mingw-w64-x86_64.cmake
#   ctest --test-dir build-windows
#
# Every program and DLL links the GCC runtime, the C++ library and winpthread statically, so it
# runs without MinGW DLLs next to it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ATE_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${ATE_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ATE_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${ATE_MINGW_TRIPLET}-windres)

# Libraries and headers come from the MinGW tree only; programs (the build tools) from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${ATE_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -static)
set(CMAKE_MODULE_LINKER_FLAGS_INIT -static)

# Programs built here run under Wine, through wine-run.sh: the tests, test discovery and anything
# else that runs a target through its emulator. The Wine prefix (the simulated Windows
# installation) lives in the build tree; the project sets it up when it is configured
# (cmake/WinePrefix.cmake).
find_program(ATE_WINE NAMES wine64 wine)
find_program(ATE_WINESERVER NAMES wineserver wineserver64
  HINTS /usr/lib/wine /usr/lib/x86_64-linux-gnu/wine /usr/libexec/wine)
if(ATE_WINE AND ATE_WINESERVER)
  set(ATE_WINEPREFIX "${CMAKE_BINARY_DIR}/wineprefix" CACHE PATH "The Wine prefix programs run in")
  set(CMAKE_CROSSCOMPILING_EMULATOR /bin/sh ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh
    ${ATE_WINEPREFIX} ${ATE_WINE} ${ATE_WINESERVER})
endif()
