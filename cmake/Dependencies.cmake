# Tcl 8.6 and llhttp, both from Debian's packages (for Windows, from the cross-built cache).

if(WIN32)
  # The Windows toolchain file points TCL_ROOT at the cross-built Tcl; it lies outside the
  # toolchain's target tree, so the find root path must not be put in front of it.
  find_path(TCL_INCLUDE_PATH tcl.h PATHS ${TCL_ROOT}/include NO_DEFAULT_PATH
            NO_CMAKE_FIND_ROOT_PATH REQUIRED)
  find_library(TCL_LIBRARY NAMES tcl86 tcl86t libtcl86 libtcl86t
               PATHS ${TCL_ROOT}/lib NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH REQUIRED)
  find_file(TCL_DLL NAMES tcl86.dll tcl86t.dll PATHS ${TCL_ROOT}/bin NO_DEFAULT_PATH
            NO_CMAKE_FIND_ROOT_PATH REQUIRED)
  # The runtime beside the programs: tcl86.dll in bin finds its scripts in ../lib/tcl8.6,
  # and the modules (msgcat) in ../lib/tcl8.
  install(FILES ${TCL_DLL} DESTINATION bin)
  install(DIRECTORY ${TCL_ROOT}/lib/tcl8.6 ${TCL_ROOT}/lib/tcl8 DESTINATION lib)
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
  if(WIN32)
    # No GoogleTest library for the target: build Debian's sources with the rest. Windows'
    # own threads, not winpthreads; and nothing of it goes into the product root.
    set(GOOGLETEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources")
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
    add_subdirectory(${GOOGLETEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  else()
    find_package(GTest REQUIRED)
  endif()
endif()
