# Libraries that stand in for a product's own (the examples, the test and
# benchmark fixtures) are built as a product would build them: against the
# public headers of include/taverly, which mark exports with TAVERLY_EXPORT.
function(taverly_product_library target)
  add_library(${target} SHARED ${ARGN})
  target_link_libraries(${target} PRIVATE Taverly::headers)
  if(WIN32)
    set_target_properties(${target} PROPERTIES PREFIX "")
  endif()
  taverly_settings(${target})
endfunction()
