# Packs what Install.cmake installs, as make release ships it:
#   cpack                           the archive taverly-<version>-linux-x86_64[-devkeys].tar.gz,
#                                   or -windows-x86_64[-devkeys].zip from the Windows build
#   cmake --build . --target tools-deb
#                                   (Linux) tools-deb/taverly-tools_<version>[~devkeys]_amd64.deb,
#                                   the tools in Debian's places, built with debhelper
# Names carry "devkeys" when the build trusts a development key (Signing.cmake).
# Include from the top-level CMakeLists.txt after Install.cmake.
include_guard(GLOBAL)

set(_taverly_devkeys "")
if(TAVERLY_DEVELOPMENT_KEYS)
  set(_taverly_devkeys devkeys)
endif()

# The archive: one folder named as the archive. With CMake 3.25, every member
# gets SOURCE_DATE_EPOCH as its time and gzip writes no time of its own; the
# members are sorted only in an archive made of components (each component's
# files sorted, the components by name), so it is one. Owners are what the
# packer's file system says: make release runs cpack under fakeroot.
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(_taverly_system windows)
else()
  set(CPACK_GENERATOR TGZ)
  set(_taverly_system linux)
endif()
set(CPACK_PACKAGE_FILE_NAME "taverly-${PROJECT_VERSION}-${_taverly_system}-x86_64")
if(_taverly_devkeys)
  string(APPEND CPACK_PACKAGE_FILE_NAME "-${_taverly_devkeys}")
endif()
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL_IN_ONE_PACKAGE ON)
set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS ${CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS})
include(CPack)

if(WIN32)
  return()
endif()

# The tools' Debian package: cmake/tools-deb is its debian/ folder, with the
# version, the maintainer, the date (SOURCE_DATE_EPOCH when set) and the
# notices of the libraries linked in filled in here.
set(TAVERLY_DEB_MAINTAINER "Taverly developers <taverly@example.org>" CACHE STRING
    "Maintainer of the tools' Debian package")
set(TAVERLY_DEB_VERSION "${PROJECT_VERSION}")
if(_taverly_devkeys)
  string(APPEND TAVERLY_DEB_VERSION "~${_taverly_devkeys}")
endif()
string(TIMESTAMP TAVERLY_DEB_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)

# A notice as the body of a copyright field: each line after a blank, an empty
# line as " .".
function(_taverly_deb_field_body file out_var)
  file(READ "${file}" text)
  set(text "\n${text}")
  set(before "")
  while(NOT text STREQUAL before)
    set(before "${text}")
    string(REGEX REPLACE "\n[ \t\r]*\n" "\n.\n" text "${text}")
  endwhile()
  string(REGEX REPLACE "\n$" "" text "${text}")
  string(REPLACE "\n" "\n " text "${text}")
  set(${out_var} "${text}" PARENT_SCOPE)
endfunction()

set(TAVERLY_DEB_NOTICES "")
set(_taverly_deb_packages ${_taverly_notices})
list(SORT _taverly_deb_packages)
foreach(package IN LISTS _taverly_deb_packages)
  _taverly_deb_field_body("/usr/share/doc/${package}/copyright" body)
  if(TAVERLY_DEB_NOTICES)
    string(APPEND TAVERLY_DEB_NOTICES "\n\n")
  endif()
  string(APPEND TAVERLY_DEB_NOTICES "Files: linked-in/${package}\n"
         "Copyright: see below, as in Debian's package ${package}\nLicense: other${body}")
endforeach()

set(_taverly_deb_source "${CMAKE_BINARY_DIR}/tools-deb-source")
file(GLOB_RECURSE _taverly_deb_files RELATIVE "${CMAKE_SOURCE_DIR}/cmake/tools-deb"
     "${CMAKE_SOURCE_DIR}/cmake/tools-deb/*")
foreach(file IN LISTS _taverly_deb_files)
  set(permissions OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  if(file STREQUAL "rules.in")
    set(permissions ${CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS})
  endif()
  string(REGEX REPLACE "\\.in$" "" name "${file}")
  configure_file("${CMAKE_SOURCE_DIR}/cmake/tools-deb/${file}"
                 "${_taverly_deb_source}/debian/${name}" @ONLY FILE_PERMISSIONS ${permissions})
endforeach()

# Built afresh each time in tools-deb/, where dpkg-buildpackage leaves the package.
set(_taverly_deb_work "${CMAKE_BINARY_DIR}/tools-deb")
add_custom_target(tools-deb
  COMMAND "${CMAKE_COMMAND}" -E rm -rf "${_taverly_deb_work}"
  COMMAND "${CMAKE_COMMAND}" -E copy_directory "${_taverly_deb_source}" "${_taverly_deb_work}/taverly-tools"
  COMMAND "${CMAKE_COMMAND}" -E chdir "${_taverly_deb_work}/taverly-tools" dpkg-buildpackage -b -us -uc
  COMMENT "Building the Debian package taverly-tools ${TAVERLY_DEB_VERSION}"
  VERBATIM)
add_dependencies(tools-deb Taverly taverly-sign taverly-plan)
