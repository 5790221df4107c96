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

function(quillet_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
endfunction()
