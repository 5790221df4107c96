# whisper.cpp and ggml as a subproject: shared libraries, run-time loadable
# backends, nothing but the libraries themselves.
set(BUILD_SHARED_LIBS ON CACHE BOOL "" FORCE)
set(GGML_BACKEND_DL ON CACHE BOOL "" FORCE)
set(GGML_NATIVE OFF CACHE BOOL "" FORCE)
set(GGML_CPU_ALL_VARIANTS ${QUILLET_RELEASE_CPU_VARIANTS} CACHE BOOL "" FORCE)
set(GGML_OPENMP OFF CACHE BOOL "" FORCE)
set(WHISPER_BUILD_EXAMPLES OFF CACHE BOOL "" FORCE)
set(WHISPER_BUILD_TESTS OFF CACHE BOOL "" FORCE)
set(WHISPER_BUILD_SERVER OFF CACHE BOOL "" FORCE)
set(WHISPER_CURL OFF CACHE BOOL "" FORCE)
set(WHISPER_SDL2 OFF CACHE BOOL "" FORCE)
set(GGML_BUILD_TESTS OFF CACHE BOOL "" FORCE)
set(GGML_BUILD_EXAMPLES OFF CACHE BOOL "" FORCE)
if(NOT QUILLET_RELEASE_CPU_VARIANTS)
  # One CPU backend at AVX2 level for development and CI. The levels are set
  # explicitly because ggml silently drops every SIMD flag when it is
  # cross-compiling or when SOURCE_DATE_EPOCH is set in the environment.
  foreach(_isa SSE42 AVX AVX2 FMA F16C BMI2)
    set(GGML_${_isa} ON CACHE BOOL "" FORCE)
  endforeach()
endif()
# The speech library decodes about 1.7 times slower at -O2 -g than at its
# Release flags, so every build a user runs compiles it as Release whatever
# the project's own build type (our code keeps its debug information). The
# sanitizer and fuzz builds turn this off so they keep judging the library as
# it is built there. The flags of a directory are read when it is added, so
# swapping them around add_subdirectory touches the subproject alone.
option(QUILLET_SPEECH_RELEASE "Compile whisper.cpp and ggml with Release flags whatever CMAKE_BUILD_TYPE is" ON)
string(TOUPPER "${CMAKE_BUILD_TYPE}" _quillet_config)
set(_quillet_swap_flags OFF)
if(QUILLET_SPEECH_RELEASE AND _quillet_config AND NOT _quillet_config STREQUAL "RELEASE")
  set(_quillet_swap_flags ON)
  foreach(_lang C CXX)
    set(_quillet_saved_${_lang} "${CMAKE_${_lang}_FLAGS_${_quillet_config}}")
    set(CMAKE_${_lang}_FLAGS_${_quillet_config} "${CMAKE_${_lang}_FLAGS_RELEASE}")
  endforeach()
endif()
add_subdirectory(${QUILLET_WHISPER_DIR} ${CMAKE_BINARY_DIR}/whisper.cpp EXCLUDE_FROM_ALL)
if(_quillet_swap_flags)
  foreach(_lang C CXX)
    set(CMAKE_${_lang}_FLAGS_${_quillet_config} "${_quillet_saved_${_lang}}")
  endforeach()
endif()
if(MINGW)
  foreach(_b ${GGML_AVAILABLE_BACKENDS})
    if(_b MATCHES "^ggml-cpu")
      target_compile_options(${_b} PRIVATE -include ${CMAKE_SOURCE_DIR}/cmake/mingw_compat.h)
    endif()
  endforeach()
  # mingw-w64 compiles expf as (float) exp((double) x), and its exp is x87
  # code slow enough to double the time of the library's per-token softmax;
  # an accurate SSE2 exp goes in front of it (apps/desktop/engine/src/fast_exp.h).
  foreach(_t whisper ${GGML_AVAILABLE_BACKENDS})
    if(_t STREQUAL "whisper" OR _t MATCHES "^ggml-cpu")
      target_sources(${_t} PRIVATE ${CMAKE_SOURCE_DIR}/apps/desktop/engine/src/exp_win32.c)
    endif()
  endforeach()
  # The library's softmax calls expf; without math.h's inline it calls the
  # float routine next to that exp, which takes 0.7 of the time.
  target_compile_definitions(whisper PRIVATE __CRT__NO_INLINE)
endif()
# The Sapphire Rapids variant is built without the AMX kernels (its AVX-512
# ones stay). mingw-w64's GCC 12 writes AMX tile loads with 32-bit index
# registers, which its assembler refuses; and on Linux the AMX q8_0 kernel
# died with an illegal instruction at its first tile load on an AMX machine
# whose kernel had granted the tile state, so no build ships it.
if(TARGET ggml-cpu-sapphirerapids)
  target_compile_options(ggml-cpu-sapphirerapids PRIVATE -mno-amx-int8 -mno-amx-tile)
endif()

# Version resources: the speech library's own binaries ship inside our package.
set(_ggml_copyright "Copyright (c) 2023-2026 The ggml authors; MIT license")
foreach(_t ggml ggml-base whisper ${GGML_AVAILABLE_BACKENDS})
  if(TARGET ${_t})
    quillet_version_resource(${_t} "${_t} (whisper.cpp) for Quillet" "${_ggml_copyright}")
  endif()
endforeach()
