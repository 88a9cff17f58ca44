# Cross-builds the macOS x86_64 plug-in bundle and vellum-host on Debian with clang 14 and
# ld64.lld 14, against a stand-in SDK generated in the build tree from Debian packages
# (standin_sdk.py beside this file):
#
#   cmake -S . -B build-macos --toolchain cmake/darwin/x86_64-apple-darwin.cmake \
#         -DVELLUM_BUILD_TESTS=OFF -DVELLUM_PKCS11_INCLUDE_DIR=build-macos/darwin-sdk/opt/p11-kit/include
#
# cross-build.sh runs exactly that. The result cannot run here; it shows that the module and
# vellum-host compile for Darwin and that every name they import exists in the library their
# load commands name.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_OSX_ARCHITECTURES x86_64)
# The unversioned triple: a versioned one would fight the deployment target over the minimum
# macOS version (a warning, an error under -Werror).
set(CMAKE_OSX_DEPLOYMENT_TARGET 10.13)
set(triple x86_64-apple-darwin)

set(llvm /usr/lib/llvm-14/bin)
foreach(tool clang clang++ ld64.lld llvm-ar llvm-ranlib llvm-nm llvm-install-name-tool)
  if(NOT EXISTS "${llvm}/${tool}")
    message(FATAL_ERROR "${llvm}/${tool} is missing: apt-get install clang-14 lld-14 llvm-14")
  endif()
endforeach()
set(CMAKE_C_COMPILER "${llvm}/clang")
set(CMAKE_CXX_COMPILER "${llvm}/clang++")
set(CMAKE_C_COMPILER_TARGET ${triple})
set(CMAKE_CXX_COMPILER_TARGET ${triple})
# Archives need a Mach-O symbol index, which GNU ranlib cannot write.
set(CMAKE_AR "${llvm}/llvm-ar" CACHE FILEPATH "")
set(CMAKE_RANLIB "${llvm}/llvm-ranlib" CACHE FILEPATH "")
set(CMAKE_NM "${llvm}/llvm-nm" CACHE FILEPATH "")
set(CMAKE_INSTALL_NAME_TOOL "${llvm}/llvm-install-name-tool" CACHE FILEPATH "")

# The stand-in SDK lives in the top build tree; try_compile projects reuse it.
if(NOT VELLUM_DARWIN_SDK)
  set(VELLUM_DARWIN_SDK "${CMAKE_BINARY_DIR}/darwin-sdk")
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VELLUM_DARWIN_SDK)
get_property(in_try_compile GLOBAL PROPERTY IN_TRY_COMPILE)
if(NOT in_try_compile)
  unset(ENV{LIBRARY_PATH})
  execute_process(
    COMMAND python3 "${CMAKE_CURRENT_LIST_DIR}/standin_sdk.py" --out "${VELLUM_DARWIN_SDK}"
            --clang "${llvm}/clang" --ld "${llvm}/ld64.lld" --nm "${llvm}/llvm-nm"
    RESULT_VARIABLE sdk_result)
  if(NOT sdk_result EQUAL 0)
    message(FATAL_ERROR "the stand-in macOS SDK could not be generated")
  endif()
endif()
set(CMAKE_OSX_SYSROOT "${VELLUM_DARWIN_SDK}")

# Nothing of the host: libraries, headers and packages come from the stand-in SDK alone.
set(CMAKE_FIND_ROOT_PATH "${VELLUM_DARWIN_SDK}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ENV{PKG_CONFIG_LIBDIR} "${VELLUM_DARWIN_SDK}/usr/lib/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${VELLUM_DARWIN_SDK}")
unset(ENV{PKG_CONFIG_PATH})
set(OPENSSL_ROOT_DIR "${VELLUM_DARWIN_SDK}/opt/openssl")
set(nlohmann_json_ROOT "${VELLUM_DARWIN_SDK}/opt/nlohmann-json")
# Its libraries carry names, not code: whatever is built against them is checked, never shipped.
# The bundle therefore gets no copy of the stand-in libcrypto (cmake/VellumBundledCrypto.cmake).
set(VELLUM_STANDIN_SDK ON)

# Debian's clang takes libstdc++ even for Darwin, and its own libc++ headers before the SDK's:
# use the SDK's copy, whose availability annotations are on. Darwin predefines __nonnull, which
# glibc's headers use as a macro with arguments; strict C++17 hides posix_memalign, which
# libc++ needs. glibc_on_darwin.h mends the names glibc spells the Linux way.
set(darwin_c_flags "-U__nonnull -D_GNU_SOURCE -include ${CMAKE_CURRENT_LIST_DIR}/glibc_on_darwin.h")
set(CMAKE_C_FLAGS_INIT "${darwin_c_flags}")
set(CMAKE_CXX_FLAGS_INIT
    "-stdlib=libc++ -stdlib++-isystem ${VELLUM_DARWIN_SDK}/usr/include/c++/v1 ${darwin_c_flags}")
# CMake's Darwin platform file asks sw_vers whether the system is new enough for run paths; off a
# Mac there is no sw_vers and no run path would be written. Every supported macOS has them.
set(CMAKE_SHARED_LIBRARY_RUNTIME_C_FLAG "-Wl,-rpath,")
set(CMAKE_SHARED_LIBRARY_RUNTIME_CXX_FLAG "-Wl,-rpath,")
# ld64.lld links against the SDK's text stubs; undefined names stay errors (ld64's default).
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT "-stdlib=libc++ --ld-path=${llvm}/ld64.lld -mlinker-version=609")
endforeach()
