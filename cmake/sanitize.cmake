# quillet_sanitize(target): applies QUILLET_SANITIZE to our own targets only;
# the speech libraries are built plainly so the sanitizers judge our code.
function(quillet_sanitize target)
  if(QUILLET_SANITIZE)
    string(REPLACE ";" "," _s "${QUILLET_SANITIZE}")
    target_compile_options(${target} PRIVATE -fsanitize=${_s} -fno-omit-frame-pointer -fno-sanitize-recover=all)
    target_link_options(${target} PRIVATE -fsanitize=${_s})
  endif()
endfunction()

function(quillet_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
endfunction()
