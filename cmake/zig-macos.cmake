# Cross-compiles the program for macOS with Zig's clang and Mach-O linker, which bring the
# system's headers: the result is compiled and linked, not run. ZIG names the zig program,
# QUILLANE_MACOS_ARCH the processor (aarch64 or x86_64):
#   cmake -S . -B build-macos -DCMAKE_TOOLCHAIN_FILE=cmake/zig-macos.cmake -DZIG=/path/to/zig \
#         -DQUILLANE_MACOS_ARCH=aarch64 -DQUILLANE_TESTS=OFF -DQUILLANE_LINE_EDITING=OFF
set(CMAKE_SYSTEM_NAME Darwin)
if(NOT QUILLANE_MACOS_ARCH)
  set(QUILLANE_MACOS_ARCH aarch64)
endif()
set(CMAKE_SYSTEM_PROCESSOR ${QUILLANE_MACOS_ARCH})
# Seen again by every check that CMake compiles: passed on through the environment.
if(ZIG)
  set(ENV{QUILLANE_ZIG} "${ZIG}")
else()
  set(ZIG "$ENV{QUILLANE_ZIG}")
endif()
# zig takes its tool's name as its first word, which CMake cannot give a compiler: small
# scripts in the build directory do.
foreach(tool c++ ar ranlib)
  set(script "${CMAKE_BINARY_DIR}/zig-${tool}")
  set(target "")
  if(tool STREQUAL "c++")
    set(target "-target ${QUILLANE_MACOS_ARCH}-macos")
  endif()
  file(WRITE "${script}" "#!/bin/sh\nexec '${ZIG}' ${tool} ${target} \"$@\"\n")
  file(CHMOD "${script}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
       GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
set(CMAKE_CXX_COMPILER "${CMAKE_BINARY_DIR}/zig-c++")
set(CMAKE_AR "${CMAKE_BINARY_DIR}/zig-ar" CACHE FILEPATH "")
set(CMAKE_RANLIB "${CMAKE_BINARY_DIR}/zig-ranlib" CACHE FILEPATH "")
