# Refreshes one engine test layout; run by the targets that
# quillet_engine_test_layout (CMakeLists.txt beside this file) creates.
#   DIR           the layout folder
#   EXE           the engine executable, copied
#   LIBS          '|'-separated shared libraries, linked under their file
#                 name and their soname
#   CPU_DIR       folder holding the CPU backend modules libggml-cpu*.so
#   WITH_CPU      ON to link them in
#   PLUGIN        the fake GPU backend module, copied once per PLUGIN_NAMES
#   PLUGIN_NAMES  '|'-separated file names of those copies
cmake_minimum_required(VERSION 3.20)

foreach(v DIR EXE CPU_DIR WITH_CPU)
  if(NOT DEFINED ${v})
    message(FATAL_ERROR "test-layout.cmake: ${v} is not set")
  endif()
endforeach()
string(REPLACE "|" ";" LIBS "${LIBS}")
string(REPLACE "|" ";" PLUGIN_NAMES "${PLUGIN_NAMES}")

file(MAKE_DIRECTORY "${DIR}")
set(keep "")

function(link_to target name)
  set(path "${DIR}/${name}")
  if(IS_SYMLINK "${path}")
    file(READ_SYMLINK "${path}" current)
    if(current STREQUAL target)
      return()
    endif()
  endif()
  file(REMOVE "${path}")
  file(CREATE_LINK "${target}" "${path}" SYMBOLIC)
endfunction()

# The executable must be a real file in DIR: on Linux the engine finds its
# folder through /proc/self/exe, which resolves links.
get_filename_component(exe_name "${EXE}" NAME)
if(IS_SYMLINK "${DIR}/${exe_name}")
  file(REMOVE "${DIR}/${exe_name}")
endif()
# By content: file(COPY) skips a file whose time matches to the second, so an
# engine relinked within the second of the last copy left the old one here.
file(COPY_FILE "${EXE}" "${DIR}/${exe_name}" ONLY_IF_DIFFERENT)
list(APPEND keep "${exe_name}")

set(libs ${LIBS})
if(WITH_CPU)
  file(GLOB cpu_backends "${CPU_DIR}/libggml-cpu*.so")
  if(NOT cpu_backends)
    message(FATAL_ERROR "test-layout.cmake: no libggml-cpu*.so in ${CPU_DIR}")
  endif()
  list(APPEND libs ${cpu_backends})
endif()
foreach(lib IN LISTS libs)
  get_filename_component(real "${lib}" REALPATH)
  get_filename_component(name "${lib}" NAME)
  link_to("${real}" "${name}")
  list(APPEND keep "${name}")
  # The executable asks for the soname (libwhisper.so.1); its run path
  # ($ORIGIN) finds it here. Every name in the chain from the unversioned
  # link to the real file is recreated.
  get_filename_component(lib_dir "${lib}" DIRECTORY)
  string(REGEX REPLACE "\\.so(\\..*)?$" "" stem "${name}")
  file(GLOB versions "${lib_dir}/${stem}.so" "${lib_dir}/${stem}.so.*")
  foreach(v IN LISTS versions)
    get_filename_component(vreal "${v}" REALPATH)
    if(vreal STREQUAL real)
      get_filename_component(vname "${v}" NAME)
      link_to("${real}" "${vname}")
      list(APPEND keep "${vname}")
    endif()
  endforeach()
endforeach()

foreach(name IN LISTS PLUGIN_NAMES)
  if(IS_SYMLINK "${DIR}/${name}")
    file(REMOVE "${DIR}/${name}")
  endif()
  # Real copies: the dynamic loader would return the same library for two
  # links to one file, and each copy has to read its own settings.
  configure_file("${PLUGIN}" "${DIR}/${name}" COPYONLY)
  list(APPEND keep "${name}")
endforeach()

# Anything else (a CPU backend from an earlier WITH_CPU, a renamed plugin)
# would change what the engine discovers.
file(GLOB present RELATIVE "${DIR}" "${DIR}/*")
foreach(name IN LISTS present)
  if(NOT name IN_LIST keep)
    file(REMOVE_RECURSE "${DIR}/${name}")
  endif()
endforeach()
