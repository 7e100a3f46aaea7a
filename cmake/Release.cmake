# Settings of a build that ships (TAVERLY_RELEASE, which make release sets):
# debug information in every binary, split off into debug/ when installed,
# and output that depends neither on the folder the sources lie in nor on the
# time of the build, so that two builds of one commit give the same bytes.
#
# Include from the top-level CMakeLists.txt before any target is created.
include_guard(GLOBAL)

if(NOT TAVERLY_RELEASE)
  return()
endif()
if(NOT CMAKE_BUILD_TYPE STREQUAL "Release")
  message(FATAL_ERROR "TAVERLY_RELEASE is for CMAKE_BUILD_TYPE=Release")
endif()

add_compile_options(-g)
# __FILE__ and the debug information name the sources as they would lie in
# /usr/src, wherever the clone is. The last matching map wins, so the folders
# inside the sources (the build, the Windows dependencies) come after theirs.
set(TAVERLY_SOURCE_MAP "/usr/src/taverly-${PROJECT_VERSION}")
add_compile_options("-ffile-prefix-map=${CMAKE_SOURCE_DIR}=${TAVERLY_SOURCE_MAP}"
                    "-ffile-prefix-map=${CMAKE_BINARY_DIR}=${TAVERLY_SOURCE_MAP}/build")
if(WIN32)
  add_compile_options("-ffile-prefix-map=${TAVERLY_WINDOWS_DEPS}=/usr/src/taverly-deps")
  # The linker writes the time of the link into the PE header unless told not to.
  add_link_options(-Wl,--no-insert-timestamp)
else()
  # The build id (a hash of the output) is what debuggers find debug/ files by.
  add_link_options(-Wl,--build-id=sha1)
endif()
