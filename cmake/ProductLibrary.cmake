# Libraries that stand in for a product's own (the example and the test
# fixtures) mark their exports with TAVERLY_EXPORT.
function(taverly_product_library target)
  add_library(${target} SHARED ${ARGN})
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR})
  if(WIN32)
    target_compile_definitions(${target} PRIVATE "TAVERLY_EXPORT=__declspec(dllexport)")
    set_target_properties(${target} PROPERTIES PREFIX "")
  else()
    target_compile_definitions(${target} PRIVATE "TAVERLY_EXPORT=__attribute__((visibility(\"default\")))")
  endif()
  taverly_settings(${target})
endfunction()
