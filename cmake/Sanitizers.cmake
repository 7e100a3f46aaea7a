# Builds everything, the program, its tools, test fixtures and product
# libraries alike, with the sanitizers named in TAVERLY_SANITIZE (for example
# "address,undefined"), so that a library loaded by an instrumented program is
# instrumented too. TAVERLY_FUZZ adds libFuzzer's coverage instrumentation.
#
# Include from the top-level CMakeLists.txt before any target is created.
include_guard(GLOBAL)

set(TAVERLY_SANITIZE "" CACHE STRING
    "Comma-separated sanitizers for every target (e.g. address,undefined); empty for none")

# A fuzz target finds memory faults and undefined behaviour only where they are
# checked for.
if(TAVERLY_FUZZ AND NOT TAVERLY_SANITIZE)
  set(TAVERLY_SANITIZE "address,undefined" CACHE STRING
      "Comma-separated sanitizers for every target (e.g. address,undefined); empty for none" FORCE)
endif()

if(TAVERLY_FUZZ AND NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  message(FATAL_ERROR "TAVERLY_FUZZ needs clang (libFuzzer): configure with "
                      "-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++")
endif()

if(TAVERLY_SANITIZE)
  if(WIN32)
    message(FATAL_ERROR "TAVERLY_SANITIZE is for the native build")
  endif()
  # UndefinedBehaviorSanitizer stays recoverable, because only a recoverable
  # check honours tests/sanitizers/ubsan.supp; its halt_on_error option (set by
  # make test-asan and built into the fuzz targets) still ends the process at
  # every finding that file does not name.
  add_compile_options(-fsanitize=${TAVERLY_SANITIZE} -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=${TAVERLY_SANITIZE})
endif()

if(TAVERLY_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()
