# Zig's clang and libc++ (the `ziglang` package from PyPI) as the C and C++ compilers, for one
# target given as KX_ZIG_TARGET: x86_64-linux-gnu.2.17 or aarch64-linux-gnu.2.17. The ".2.17"
# is the glibc the objects are linked against (Zig ships the symbol versions of every glibc), so a
# wheel built here truly runs on manylinux2014 systems; libc++ is linked statically and hidden,
# so the modules need no C++ runtime from the system. KX_ZIG_PYTHON names the interpreter that
# has ziglang installed (default: python3 on PATH).
#
# No -mcpu is given, so the code assumes the target's baseline CPU (x86-64: SSE2; aarch64:
# ARMv8-A with NEON); wider instructions (AVX2) are reached through the run-time dispatch of the
# core library only.
if(NOT KX_ZIG_TARGET)
  set(KX_ZIG_TARGET "$ENV{KX_ZIG_TARGET}")
endif()
if(NOT KX_ZIG_PYTHON)
  set(KX_ZIG_PYTHON "$ENV{KX_ZIG_PYTHON}")
endif()
if(NOT KX_ZIG_TARGET)
  message(FATAL_ERROR "cmake/zig.cmake: set KX_ZIG_TARGET (e.g. x86_64-linux-gnu.2.17)")
endif()
if(NOT KX_ZIG_PYTHON)
  find_program(KX_ZIG_PYTHON NAMES python3 python REQUIRED)
endif()
# The try_compile projects of CMake's checks read the toolchain file again: hand them the same.
set(ENV{KX_ZIG_TARGET} "${KX_ZIG_TARGET}")
set(ENV{KX_ZIG_PYTHON} "${KX_ZIG_PYTHON}")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KX_ZIG_TARGET KX_ZIG_PYTHON)

string(REGEX MATCH "^[^-]+" _kx_zig_arch "${KX_ZIG_TARGET}")
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR "${_kx_zig_arch}")

# CMake wants one executable per tool: small wrappers, written once per target and interpreter.
string(MD5 _kx_zig_id "${KX_ZIG_PYTHON}|${KX_ZIG_TARGET}")
set(_kx_zig_dir "${CMAKE_CURRENT_LIST_DIR}/../build/zig-wrappers/${KX_ZIG_TARGET}-${_kx_zig_id}")
if(NOT EXISTS "${_kx_zig_dir}/c++")
  file(MAKE_DIRECTORY "${_kx_zig_dir}")
  foreach(_kx_tool cc c++ ar ranlib)
    set(_kx_args "${_kx_tool}")
    if(_kx_tool STREQUAL "cc" OR _kx_tool STREQUAL "c++")
      set(_kx_args "${_kx_tool} -target ${KX_ZIG_TARGET}")
    endif()
    file(WRITE "${_kx_zig_dir}/${_kx_tool}.tmp"
         "#!/bin/sh\nexec \"${KX_ZIG_PYTHON}\" -m ziglang ${_kx_args} \"$@\"\n")
    file(CHMOD "${_kx_zig_dir}/${_kx_tool}.tmp" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
         GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
    file(RENAME "${_kx_zig_dir}/${_kx_tool}.tmp" "${_kx_zig_dir}/${_kx_tool}")
  endforeach()
endif()
set(CMAKE_C_COMPILER "${_kx_zig_dir}/cc")
set(CMAKE_CXX_COMPILER "${_kx_zig_dir}/c++")
set(CMAKE_AR "${_kx_zig_dir}/ar" CACHE FILEPATH "archiver" FORCE)
set(CMAKE_RANLIB "${_kx_zig_dir}/ranlib" CACHE FILEPATH "ranlib" FORCE)

# No link-time optimisation: with -flto Zig builds libc++ once more as LTO objects for each target
# (many minutes on two cores). pybind11 adds its own -flto only where this is not set.
set(CMAKE_INTERPROCEDURAL_OPTIMIZATION OFF)

# Nothing of the build machine's own libraries or headers may leak into the target's objects.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
