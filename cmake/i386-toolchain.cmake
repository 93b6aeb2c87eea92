# Toolchain for corvane's 32-bit x86 build on a Debian x86-64 machine:
#
#   tools/i386/setup.sh
#   cmake -S . -B build/i386 -DCMAKE_TOOLCHAIN_FILE=cmake/i386-toolchain.cmake
#
# Compiles with the host GCC in -m32 mode (g++-multilib), links against the
# i386 libraries installed beside the x86-64 ones (libc6:i386,
# libgtest-dev:i386), and runs what it builds (tests, gtest discovery, try_run)
# through tools/i386/run32, i.e. under qemu-i386 unless
# CORVANE_I386_RUNNER=native is in the environment.
#
# The Python side is the i386 PyPy that setup.sh unpacks into .hosts/i386;
# FindPython is pointed at its wrapper, and its headers are the i386 ones
# (the generated pypy_decl.h/pypy_macros.h differ from the x86-64 copies in
# /usr/include/pypy3.9, which must not be used for this build).

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)

set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)

# SSE2 arithmetic instead of the x87 unit: doubles are rounded to 64 bits at
# every step, as on x86-64, so float hashing and comparisons give the same
# answers on both builds (x87 keeps 80-bit intermediates).
set(_corvane_i386_flags "-m32 -msse2 -mfpmath=sse")
set(CMAKE_C_FLAGS_INIT "${_corvane_i386_flags}")
set(CMAKE_CXX_FLAGS_INIT "${_corvane_i386_flags}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${_corvane_i386_flags}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_corvane_i386_flags}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${_corvane_i386_flags}")

get_filename_component(CORVANE_SOURCE_ROOT "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR "${CORVANE_SOURCE_ROOT}/tools/i386/run32")

# Host and target share /usr (multiarch), so no find root path: the
# architecture directory above and this hint select the i386 GoogleTest, and
# its version file rejects the x86-64 one (CMAKE_SIZEOF_VOID_P is checked).
if(NOT DEFINED GTest_DIR AND EXISTS /usr/lib/i386-linux-gnu/cmake/GTest)
  set(GTest_DIR /usr/lib/i386-linux-gnu/cmake/GTest CACHE PATH "32-bit GoogleTest")
endif()

set(CORVANE_I386_HOST "${CORVANE_SOURCE_ROOT}/.hosts/i386")
set(CORVANE_I386_PYTHON "${CORVANE_I386_HOST}/bin/pypy3")
set(CORVANE_I386_PYTHON_INCLUDE_DIR "${CORVANE_I386_HOST}/root/usr/include/pypy3.9")
set(CORVANE_I386_EXT_SUFFIX ".pypy39-pp73-i386-linux-gnu.so")
if(EXISTS "${CORVANE_I386_PYTHON}")
  # FindPython does not ask the interpreter for its headers when
  # cross-compiling (it assumes a host interpreter), and its fallback search
  # could land on the x86-64 ones, so name them. Nor does it learn the module
  # suffix (Python_SOABI stays empty): name modules with
  # CORVANE_I386_EXT_SUFFIX, or ask the interpreter for EXT_SUFFIX.
  foreach(_p Python Python3)
    set(${_p}_EXECUTABLE "${CORVANE_I386_PYTHON}" CACHE FILEPATH "i386 PyPy")
    set(${_p}_INCLUDE_DIR "${CORVANE_I386_PYTHON_INCLUDE_DIR}" CACHE PATH "i386 PyPy headers")
  endforeach()
else()
  message(WARNING "No i386 PyPy in ${CORVANE_I386_HOST}: run tools/i386/setup.sh")
endif()
