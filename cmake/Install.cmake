# Installs what ships, in the layout of the release archives, which make
# release packs from a cmake --install of a Release build:
#   bin/                Taverly, taverly-sign, taverly-plan: stripped, Taverly own-signed
#   debug/              their debug information (debug link; build id on Linux)
#   include/taverly/    the public headers
#   examples/           the demo products and the sources of their libraries
#   schemas/            module files, module_config.dat, the run report
#   man/man1, man/man8  taverly-sign(1), taverly-plan(1), Taverly(8)
#   licenses/           the notices of the libraries linked in, as Debian ships them
#   lib/cmake/Taverly/  for a product's own build: find_package(Taverly)
# The programs alone are the component "Programs" (make bench installs them).
# Modes are set here, whatever the umask of the clone: 755 for folders and
# programs, 644 for the rest. Include from the top-level CMakeLists.txt after
# every target exists.
include_guard(GLOBAL)

set(_taverly_executable OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                        WORLD_READ WORLD_EXECUTE)
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS ${_taverly_executable})

set(TAVERLY_AUTHENTICODE_CERT "" CACHE FILEPATH
    "PEM certificate that cmake --install Authenticode-signs the Windows programs with")
set(TAVERLY_AUTHENTICODE_KEY "" CACHE FILEPATH "PEM key of TAVERLY_AUTHENTICODE_CERT")
if(TAVERLY_AUTHENTICODE_CERT AND NOT TAVERLY_AUTHENTICODE_KEY)
  message(FATAL_ERROR "TAVERLY_AUTHENTICODE_CERT needs TAVERLY_AUTHENTICODE_KEY")
endif()

if(TAVERLY_SIGN_TOOL)
  set(_taverly_ship_sign_tool "${TAVERLY_SIGN_TOOL}")
elseif(NOT CMAKE_CROSSCOMPILING)
  set(_taverly_ship_sign_tool "$<TARGET_FILE:taverly-sign>")
else()
  set(_taverly_ship_sign_tool "")
endif()

function(_taverly_install_program target sign)
  set(key "")
  if(sign)
    set(key "${TAVERLY_SIGN_KEY}")
    if(NOT key)
      install(CODE "message(FATAL_ERROR \"Taverly ships signed: set TAVERLY_SIGN_KEY to the secret key 1 of ${TAVERLY_KEY_DIR}\")"
              COMPONENT Programs)
    endif()
  endif()
  if(WIN32)
    set(pe ON)
  else()
    set(pe OFF)
  endif()
  install(CODE "set(SHIP_INPUT \"$<TARGET_FILE:${target}>\")
set(SHIP_NAME \"$<TARGET_FILE_NAME:${target}>\")
set(SHIP_OBJCOPY \"${CMAKE_OBJCOPY}\")
set(SHIP_READELF \"${CMAKE_READELF}\")
set(SHIP_PE ${pe})
set(SHIP_SIGN_TOOL \"${_taverly_ship_sign_tool}\")
set(SHIP_SIGN_KEY \"${key}\")
set(SHIP_AUTHENTICODE_CERT \"${TAVERLY_AUTHENTICODE_CERT}\")
set(SHIP_AUTHENTICODE_KEY \"${TAVERLY_AUTHENTICODE_KEY}\")
include(\"${CMAKE_SOURCE_DIR}/cmake/ShipProgram.cmake\")" COMPONENT Programs)
endfunction()

_taverly_install_program(Taverly ON)
_taverly_install_program(taverly-sign OFF)
_taverly_install_program(taverly-plan OFF)

install(DIRECTORY include/taverly DESTINATION include)
# The examples' scripts are their only executable files.
install(DIRECTORY examples/ DESTINATION examples
        FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
        PATTERN "*.sh" PERMISSIONS ${_taverly_executable}
        PATTERN "rules" PERMISSIONS ${_taverly_executable})

# The run report's schema is part of every release: no release without it.
set(_taverly_run_report_schema "${CMAKE_SOURCE_DIR}/docs/run-report.schema.json")
install(FILES schemas/module.xsd schemas/module_config.schema.json DESTINATION schemas)
if(EXISTS "${_taverly_run_report_schema}")
  install(FILES "${_taverly_run_report_schema}" DESTINATION schemas)
else()
  install(CODE "message(FATAL_ERROR \"${_taverly_run_report_schema} is missing: a release ships the run report's schema\")")
endif()

foreach(page taverly-sign.1 taverly-plan.1 Taverly.8)
  string(REGEX REPLACE ".*\\.([0-9])$" "\\1" section "${page}")
  configure_file("docs/man/${page}.in" "${CMAKE_BINARY_DIR}/man/${page}" @ONLY)
  install(FILES "${CMAKE_BINARY_DIR}/man/${page}" DESTINATION "man/man${section}")
endforeach()

# Every library whose code is linked into a shipped program; the C++ and
# thread runtimes only in the statically linked Windows programs.
set(_taverly_notices libgoogle-glog-dev libsodium-dev rapidjson-dev librapidxml-dev)
if(WIN32)
  list(APPEND _taverly_notices gcc-mingw-w64-base mingw-w64-common)
else()
  list(APPEND _taverly_notices libgflags-dev)
endif()
foreach(package IN LISTS _taverly_notices)
  set(notice "/usr/share/doc/${package}/copyright")
  if(NOT EXISTS "${notice}")
    message(FATAL_ERROR "${notice} is missing: install ${package}")
  endif()
  install(FILES "${notice}" DESTINATION licenses RENAME "${package}.copyright")
endforeach()

include(CMakePackageConfigHelpers)
configure_file(cmake/TaverlyConfig.cmake.in "${CMAKE_BINARY_DIR}/TaverlyConfig.cmake" @ONLY)
write_basic_package_version_file("${CMAKE_BINARY_DIR}/TaverlyConfigVersion.cmake"
                                 COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
install(FILES "${CMAKE_BINARY_DIR}/TaverlyConfig.cmake"
              "${CMAKE_BINARY_DIR}/TaverlyConfigVersion.cmake"
        DESTINATION lib/cmake/Taverly)
