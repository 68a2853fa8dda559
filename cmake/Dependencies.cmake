# Tcl 8.6 and llhttp, both from Debian's packages (for Windows, from the cross-built cache).

if(WIN32)
  # The Windows toolchain file points TCL_ROOT at the cross-built Tcl.
  find_path(TCL_INCLUDE_PATH tcl.h PATHS ${TCL_ROOT}/include NO_DEFAULT_PATH REQUIRED)
  find_library(TCL_LIBRARY NAMES tcl86 tcl86t libtcl86 libtcl86t
               PATHS ${TCL_ROOT}/lib NO_DEFAULT_PATH REQUIRED)
else()
  find_package(TCL 8.6 REQUIRED)
endif()
add_library(tcl_lib INTERFACE)
target_include_directories(tcl_lib SYSTEM INTERFACE ${TCL_INCLUDE_PATH})
target_link_libraries(tcl_lib INTERFACE ${TCL_LIBRARY})

set(LLHTTP_SOURCE_DIR /usr/share/llhttp CACHE PATH "llhttp C sources")
set(LLHTTP_INCLUDE_DIR /usr/share/include/llhttp CACHE PATH "llhttp header")
add_library(llhttp STATIC ${LLHTTP_SOURCE_DIR}/llhttp.c ${LLHTTP_SOURCE_DIR}/api.c
                          ${LLHTTP_SOURCE_DIR}/http.c)
target_include_directories(llhttp SYSTEM PUBLIC ${LLHTTP_INCLUDE_DIR})
set_target_properties(llhttp PROPERTIES POSITION_INDEPENDENT_CODE ON C_STANDARD 99)

if(KELDA_TESTS)
  find_package(GTest REQUIRED)
endif()
