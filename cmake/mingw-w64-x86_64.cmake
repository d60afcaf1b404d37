# Cross-compiles for 64-bit Windows with Debian's mingw-w64 and the libraries that
# scripts/build-windows-deps.sh puts in PELLORAN_WIN_PREFIX (its last output line).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(triplet x86_64-w64-mingw32)

# The plain compilers use the win32 thread model, which has no std::thread or std::mutex.
set(CMAKE_C_COMPILER ${triplet}-gcc-posix)
set(CMAKE_CXX_COMPILER ${triplet}-g++-posix)
set(CMAKE_RC_COMPILER ${triplet}-windres)

if(NOT PELLORAN_WIN_PREFIX AND DEFINED ENV{PELLORAN_WIN_PREFIX})
  set(PELLORAN_WIN_PREFIX $ENV{PELLORAN_WIN_PREFIX})
endif()
# try_compile projects read this file again and need the prefix too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES PELLORAN_WIN_PREFIX)

set(CMAKE_FIND_ROOT_PATH /usr/${triplet} ${PELLORAN_WIN_PREFIX})
# Programs run on the build machine: the host's soapcpp2 generates the SOAP code.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Without these the programs need the toolchain's DLLs, and wine stops them before main.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_CROSSCOMPILING_EMULATOR wine)

if(PELLORAN_WIN_PREFIX)
  # With PROGRAM NEVER, FindwxWidgets would otherwise run the host's GTK wx-config.
  set(wxWidgets_CONFIG_EXECUTABLE ${PELLORAN_WIN_PREFIX}/bin/wx-config CACHE FILEPATH "")
  set(ENV{PKG_CONFIG_LIBDIR} ${PELLORAN_WIN_PREFIX}/lib/pkgconfig)
endif()
