# quillet_sanitize(target): applies QUILLET_SANITIZE to our own targets only;
# the speech libraries are built plainly so the sanitizers judge our code.
function(quillet_sanitize target)
  if(QUILLET_SANITIZE)
    string(REPLACE ";" "," _s "${QUILLET_SANITIZE}")
    target_compile_options(${target} PRIVATE -fsanitize=${_s} -fno-omit-frame-pointer -fno-sanitize-recover=all)
    # Public, so whatever links an instrumented static library also links
    # the sanitizer runtime.
    target_link_options(${target} PUBLIC -fsanitize=${_s})
  endif()
endfunction()

# quillet_sanitized_host(<var>): the environment a plain node needs to load
# a module built with QUILLET_SANITIZE; empty without them. The host is not
# instrumented, so the sanitizer runtime is preloaded (it must come before
# every other library). Under AddressSanitizer node needs nothing more: it
# leaks nothing at exit, so leaks are checked as in the unit tests. Under
# ThreadSanitizer the runtime's interceptors ignore calls from node's own
# code: node synchronises its threads partly with atomics the runtime cannot
# see, which it would report as races; our code is instrumented and checked.
function(quillet_sanitized_host var)
  set(_env "")
  set(_runtime "")
  if("address" IN_LIST QUILLET_SANITIZE)
    set(_runtime libasan.so)
  elseif("thread" IN_LIST QUILLET_SANITIZE)
    set(_runtime libtsan.so)
    list(APPEND _env "TSAN_OPTIONS=ignore_noninstrumented_modules=1")
  endif()
  if(_runtime)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${_runtime}
                    OUTPUT_VARIABLE _path OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT IS_ABSOLUTE "${_path}" OR NOT EXISTS "${_path}")
      message(FATAL_ERROR "QUILLET_SANITIZE: ${CMAKE_CXX_COMPILER} names no ${_runtime} to preload into node")
    endif()
    list(PREPEND _env "LD_PRELOAD=${_path}")
  endif()
  set(${var} "${_env}" PARENT_SCOPE)
endfunction()

function(quillet_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
endfunction()
