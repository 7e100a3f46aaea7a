# The compiler settings of every target the project builds, in one place:
# warnings (fatal with TAVERLY_WERROR, which CI sets) and, for Windows, the
# definitions every file must see alike, tests included. Each target calls
# taverly_settings(<target>).
add_library(taverly_settings INTERFACE)
target_compile_options(taverly_settings INTERFACE
    -Wall -Wextra -Wshadow
    $<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor -Woverloaded-virtual>)
if(TAVERLY_WERROR)
  target_compile_options(taverly_settings INTERFACE -Werror)
endif()
if(WIN32)
  target_compile_definitions(taverly_settings INTERFACE
      WIN32_LEAN_AND_MEAN NOMINMAX UNICODE _UNICODE)
endif()

function(taverly_settings target)
  target_link_libraries(${target} PRIVATE taverly_settings)
endfunction()
