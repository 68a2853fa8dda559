# Toolchain for 64-bit Windows with Debian's mingw-w64 cross compiler:
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake [-DTCL_ROOT=DIR]
# TCL_ROOT is the cross-built Tcl (scripts/build-tcl-windows); it defaults to that script's
# cache. Test executables run under Wine.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KELDA_MINGW_TRIPLE x86_64-w64-mingw32)

# The posix threads variant has std::thread and std::mutex; the win32 variant of this GCC
# does not.
foreach(lang C CXX)
  if(lang STREQUAL "C")
    set(driver gcc)
  else()
    set(driver g++)
  endif()
  find_program(KELDA_MINGW_${lang} NAMES ${KELDA_MINGW_TRIPLE}-${driver}-posix
                                         ${KELDA_MINGW_TRIPLE}-${driver} REQUIRED)
  set(CMAKE_${lang}_COMPILER ${KELDA_MINGW_${lang}})
endforeach()
find_program(CMAKE_RC_COMPILER NAMES ${KELDA_MINGW_TRIPLE}-windres)

# Look for libraries and headers in the target's trees only; programs come from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${KELDA_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Link the compiler's runtime (libgcc, libstdc++, winpthread) into every executable, so that
# an .exe needs no DLL beyond Windows' own and tcl86.dll. Import libraries given by full path
# (Tcl's) still link against their DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

if(NOT DEFINED TCL_ROOT)
  if(DEFINED ENV{KELDA_CACHE})
    set(TCL_ROOT $ENV{KELDA_CACHE}/tcl-win64)
  else()
    set(TCL_ROOT $ENV{HOME}/.cache/kelda/tcl-win64)
  endif()
endif()
set(TCL_ROOT ${TCL_ROOT} CACHE PATH "Tcl built for Windows (scripts/build-tcl-windows)")

# CTest runs Windows executables through Wine, in a Wine prefix of the build's own unless the
# caller sets WINEPREFIX; scripts/wine-run keeps Wine's own messages out of the output. Wine's
# search path gets Tcl's bin directory, so that programs in the build tree load tcl86.dll from
# there and Tcl finds its scripts beside it.
get_filename_component(KELDA_WINE_RUN ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_COMMAND} -E env WINEPATH=Z:${TCL_ROOT}/bin
    ${KELDA_WINE_RUN} --default-prefix ${CMAKE_BINARY_DIR}/wine)
