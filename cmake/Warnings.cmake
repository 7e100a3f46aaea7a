# Warnings are on for everything we compile; TAVERLY_WERROR (set by CI) makes them fatal.
function(taverly_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  if(TAVERLY_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
