# The version of what ships: the Windows binaries' version resources and the
# npm packages (apps/desktop/*/package.json, checked by the package tests).
set(QUILLET_VERSION 0.1.0)

# quillet_version_resource(<target> <description> [<copyright>]): a VERSIONINFO
# resource in the Windows binary of <target>; nothing elsewhere.
function(quillet_version_resource target description)
  if(NOT WIN32)
    return()
  endif()
  set(QR_COPYRIGHT "Copyright (c) 2026 The Quillet authors; MIT license")
  if(ARGC GREATER 2)
    set(QR_COPYRIGHT "${ARGV2}")
  endif()
  string(REPLACE "." ";" _parts "${QUILLET_VERSION}")
  list(GET _parts 0 QR_MAJOR)
  list(GET _parts 1 QR_MINOR)
  list(GET _parts 2 QR_PATCH)
  get_target_property(_type ${target} TYPE)
  if(_type STREQUAL "EXECUTABLE")
    set(QR_TYPE VFT_APP)
  else()
    set(QR_TYPE VFT_DLL)
  endif()
  set(QR_TARGET ${target})
  set(QR_DESCRIPTION "${description}")
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc.in @ONLY)
  set(_rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
  set(_obj ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.res.obj)
  file(GENERATE OUTPUT ${_rc} INPUT ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc.in)
  # Compiled here and handed to the linker rather than added as an .rc
  # source: a subproject that did not enable the RC language (whisper.cpp's
  # own directory) would skip the source.
  add_custom_command(OUTPUT ${_obj}
    COMMAND ${CMAKE_RC_COMPILER} -O coff -i ${_rc} -o ${_obj}
    DEPENDS ${_rc} ${PROJECT_SOURCE_DIR}/cmake/version.rc.in
    VERBATIM)
  add_custom_target(${target}_version_resource DEPENDS ${_obj})
  add_dependencies(${target} ${target}_version_resource)
  target_link_options(${target} PRIVATE ${_obj})
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${_obj})
endfunction()
