# Cross-building for 64-bit Windows with Debian's mingw-w64 (the posix thread
# model, for std::thread and std::mutex):
#   cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
# The tests run under Wine through the wrapper written below, which CTest puts
# in front of every test executable.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(SURF_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${SURF_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${SURF_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${SURF_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${SURF_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The wrapper (cmake/wine-run.sh.in) finds Wine, the MinGW runtime DLLs for
# the test executables, and the build's own DLLs on every run.
find_program(SURF_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(NOT SURF_WINE)
  set(SURF_WINE wine64)
endif()
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libstdc++-6.dll
  OUTPUT_VARIABLE _surf_libstdcxx OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
if(_surf_libstdcxx AND IS_ABSOLUTE "${_surf_libstdcxx}")
  get_filename_component(SURF_GCC_DLLS "${_surf_libstdcxx}" DIRECTORY)
else()
  set(SURF_GCC_DLLS "")
endif()
set(SURF_MINGW_ROOT /usr/${SURF_MINGW_PREFIX})
configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-run.sh.in ${CMAKE_BINARY_DIR}/wine-run.sh @ONLY
  FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run.sh)
