# macOS: the plug-in bundle carries the libcrypto it was built with. A browser loads the bundle
# on Macs that may have no OpenSSL at all, or one from another package manager, so the module
# names libcrypto as @rpath/<file> and finds it through an LC_RPATH of @loader_path/../Frameworks,
# that is in the bundle's own Contents/Frameworks.
#
# At configure time the libcrypto that find_package(OpenSSL) found is copied into the build tree
# and renamed (install_name_tool -id) to @rpath/<file>; everything that links OpenSSL::Crypto
# links that copy, and vellum_bundle_crypto() puts it into the bundle after each link. A static
# libcrypto (libcrypto.a) needs none of this: it goes into the module and the export list keeps
# its names in.
set(VELLUM_BUNDLED_CRYPTO "")
file(REAL_PATH "${OPENSSL_CRYPTO_LIBRARY}" found_crypto)
if(found_crypto MATCHES "\\.dylib$")
  get_filename_component(crypto_name "${found_crypto}" NAME)
  set(VELLUM_BUNDLED_CRYPTO "${CMAKE_BINARY_DIR}/bundled-crypto/${crypto_name}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${found_crypto}")
  file(MAKE_DIRECTORY "${CMAKE_BINARY_DIR}/bundled-crypto")
  file(COPY_FILE "${found_crypto}" "${VELLUM_BUNDLED_CRYPTO}" ONLY_IF_DIFFERENT)
  if(NOT CMAKE_INSTALL_NAME_TOOL)
    message(FATAL_ERROR "install_name_tool is needed to bundle ${found_crypto}")
  endif()
  execute_process(
    COMMAND "${CMAKE_INSTALL_NAME_TOOL}" -id "@rpath/${crypto_name}" "${VELLUM_BUNDLED_CRYPTO}"
    RESULT_VARIABLE rename_result)
  if(NOT rename_result EQUAL 0)
    message(FATAL_ERROR "cannot rename ${VELLUM_BUNDLED_CRYPTO} to @rpath/${crypto_name}")
  endif()
  set_target_properties(OpenSSL::Crypto PROPERTIES IMPORTED_LOCATION "${VELLUM_BUNDLED_CRYPTO}")
  message(STATUS "libcrypto: ${found_crypto}, bundled as @rpath/${crypto_name}")
else()
  message(STATUS "libcrypto: ${found_crypto}, linked statically")
endif()

# Copies the renamed libcrypto into the bundle of `target` and gives the module the one LC_RPATH
# that finds it there (no build-tree paths, in the build tree as after installing).
#
# Built against a stand-in SDK (VELLUM_STANDIN_SDK, cmake/darwin), the libcrypto carries names
# and no code: a bundle holding it would trap at its first OpenSSL call on a Mac. The module
# still names @rpath/<file>, but the same copy step then fills a scratch copy of the bundle,
# <build>/crypto-copy/<bundle>, which the cross-build's checks read instead.
function(vellum_bundle_crypto target)
  if(NOT VELLUM_BUNDLED_CRYPTO)
    return()
  endif()
  get_filename_component(name "${VELLUM_BUNDLED_CRYPTO}" NAME)
  # CMake's own run paths would add build-tree folders (and, cross-built, none at all).
  set_target_properties(${target} PROPERTIES BUILD_WITH_INSTALL_RPATH ON INSTALL_RPATH "")
  target_link_options(${target} PRIVATE "LINKER:-rpath,@loader_path/../Frameworks")
  set(contents "$<TARGET_BUNDLE_CONTENT_DIR:${target}>")
  if(VELLUM_STANDIN_SDK)
    set(scratch "${CMAKE_BINARY_DIR}/crypto-copy/$<TARGET_BUNDLE_DIR_NAME:${target}>")
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND ${CMAKE_COMMAND} -E rm -rf "${scratch}"
      COMMAND ${CMAKE_COMMAND} -E copy_directory "$<TARGET_BUNDLE_DIR:${target}>" "${scratch}"
      VERBATIM)
    set(contents "${scratch}/Contents")
  endif()
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E make_directory "${contents}/Frameworks"
    COMMAND ${CMAKE_COMMAND} -E copy "${VELLUM_BUNDLED_CRYPTO}" "${contents}/Frameworks/${name}"
    VERBATIM)
endfunction()
