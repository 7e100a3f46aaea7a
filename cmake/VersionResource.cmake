# Gives each Windows program a VERSIONINFO resource with the project's version,
# which the file's properties and installer tools show. A no-op elsewhere.
include_guard(GLOBAL)

set(TAVERLY_COMPANY_NAME "Taverly" CACHE STRING
    "CompanyName in the version resources of the Windows programs")
set(TAVERLY_LEGAL_COPYRIGHT "Copyright the Taverly authors" CACHE STRING
    "LegalCopyright in the version resources of the Windows programs")

# Resource strings double their quotes.
function(_taverly_rc_text out_var text)
  string(REPLACE "\"" "\"\"" text "${text}")
  set(${out_var} "${text}" PARENT_SCOPE)
endfunction()

# Adds the resource to target, whose file is file_name (e.g. Taverly.exe).
function(taverly_version_resource target file_name description)
  if(NOT WIN32)
    return()
  endif()
  foreach(part MAJOR MINOR PATCH)
    set(RC_VERSION_${part} "${PROJECT_VERSION_${part}}")
    if(RC_VERSION_${part} STREQUAL "")
      set(RC_VERSION_${part} 0)
    endif()
  endforeach()
  set(RC_VERSION_TEXT "${PROJECT_VERSION}")
  set(RC_FILE_NAME "${file_name}")
  get_filename_component(RC_INTERNAL_NAME "${file_name}" NAME_WE)
  _taverly_rc_text(RC_DESCRIPTION "${description}")
  _taverly_rc_text(RC_COMPANY "${TAVERLY_COMPANY_NAME}")
  _taverly_rc_text(RC_COPYRIGHT "${TAVERLY_LEGAL_COPYRIGHT}")
  set(rc "${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc")
  configure_file("${CMAKE_SOURCE_DIR}/cmake/version.rc.in" "${rc}" @ONLY)
  target_sources(${target} PRIVATE "${rc}")
endfunction()
