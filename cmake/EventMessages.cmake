# Compiles the message table of the run's event records (App/TaverlyEvents.mc)
# with MinGW's message compiler into a resource of the Windows program, which
# the event source names as its message file. A no-op elsewhere.
include_guard(GLOBAL)

function(taverly_event_messages target mc_file)
  if(NOT WIN32)
    return()
  endif()
  string(REGEX REPLACE "windres(\\.exe)?$" "windmc" windmc_guess "${CMAKE_RC_COMPILER}")
  find_program(TAVERLY_WINDMC NAMES "${windmc_guess}" x86_64-w64-mingw32-windmc windmc REQUIRED)
  get_filename_component(mc_path "${mc_file}" ABSOLUTE)
  get_filename_component(name "${mc_file}" NAME_WE)
  set(out "${CMAKE_CURRENT_BINARY_DIR}/${target}_messages")
  add_custom_command(
      OUTPUT "${out}/${name}.rc" "${out}/MSG00409.bin"
      COMMAND ${CMAKE_COMMAND} -E make_directory "${out}"
      COMMAND "${TAVERLY_WINDMC}" -h "${out}" -r "${out}" "${mc_path}"
      DEPENDS "${mc_path}"
      COMMENT "Compiling the message table ${mc_file}"
      VERBATIM)
  target_sources(${target} PRIVATE "${out}/${name}.rc")
  set_source_files_properties("${out}/${name}.rc" PROPERTIES
      OBJECT_DEPENDS "${out}/MSG00409.bin"
      COMPILE_OPTIONS "-I${out}")
endfunction()
