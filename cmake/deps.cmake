# Pinned npm-registry sources live in .deps/ (git-ignored). Fetch them at
# configure time; the script verifies each tarball's integrity first.
set(QUILLET_DEPS_DIR ${CMAKE_SOURCE_DIR}/.deps)
# A patch added, removed or changed runs the fetch again (it re-extracts and
# re-patches) before the next build.
file(GLOB _quillet_patches CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/patches/*/*.patch)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_quillet_patches}
             ${CMAKE_SOURCE_DIR}/scripts/fetch-deps.sh)
execute_process(
  COMMAND bash ${CMAKE_SOURCE_DIR}/scripts/fetch-deps.sh
  RESULT_VARIABLE _fetch_rc)
if(NOT _fetch_rc EQUAL 0)
  message(FATAL_ERROR "scripts/fetch-deps.sh failed (${_fetch_rc})")
endif()
set(QUILLET_WHISPER_DIR ${QUILLET_DEPS_DIR}/whisper.cpp)
set(QUILLET_NAPI_INCLUDE ${QUILLET_DEPS_DIR}/node-api-headers/include)
set(QUILLET_NAPI_DEF_DIR ${QUILLET_DEPS_DIR}/node-api-headers/def)
