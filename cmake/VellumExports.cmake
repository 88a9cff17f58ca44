# One list of exported symbols for both linkers. The list (one symbol per line as the object files
# name it, `#` starts a comment) becomes a version script for ELF linkers and an
# -exported_symbols_list for Mach-O ones, so the module exports the same set on Linux and macOS.
# Visibility alone is not enough on either: template instances and typeinfo that the C++ library
# headers mark visible would otherwise leak out of the module.
function(vellum_export_symbols target list_file)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${list_file}")
  file(STRINGS "${list_file}" lines)
  set(names)
  foreach(line IN LISTS lines)
    string(REGEX REPLACE "#.*" "" line "${line}")
    string(STRIP "${line}" line)
    if(line STREQUAL "")
      continue()
    endif()
    if(NOT line MATCHES "^[A-Za-z_][A-Za-z0-9_]*$")
      message(FATAL_ERROR "${list_file}: '${line}' is not a symbol name")
    endif()
    list(APPEND names "${line}")
  endforeach()
  if(NOT names)
    message(FATAL_ERROR "${list_file} names no symbol")
  endif()

  if(APPLE)
    # Mach-O symbol names carry a leading underscore.
    list(TRANSFORM names PREPEND "_")
    list(JOIN names "\n" content)
    set(generated "${CMAKE_CURRENT_BINARY_DIR}/${target}.exported_symbols")
    file(CONFIGURE OUTPUT "${generated}" CONTENT "${content}\n" @ONLY)
    target_link_options(${target} PRIVATE "LINKER:-exported_symbols_list,${generated}")
  else()
    set(content "")
    foreach(name IN LISTS names)
      string(APPEND content "    ${name};\n")
    endforeach()
    set(generated "${CMAKE_CURRENT_BINARY_DIR}/${target}.version_script")
    file(CONFIGURE OUTPUT "${generated}"
         CONTENT "{\n  global:\n${content}  local:\n    *;\n};\n" @ONLY)
    target_link_options(${target} PRIVATE "LINKER:--version-script=${generated}")
  endif()
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS "${generated}")
endfunction()
