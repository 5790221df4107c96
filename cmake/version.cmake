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
  file(GENERATE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc
       INPUT ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc.in)
  target_sources(${target} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
endfunction()
