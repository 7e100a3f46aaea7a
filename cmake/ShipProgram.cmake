# Installs one program as it ships, run by cmake --install (Install.cmake sets
# the SHIP_ variables): the debug information split off into debug/<name>.debug,
# the program stripped and linked to it (debug link; on Linux also the build
# id, under debug/.build-id), then, when SHIP_SIGN_KEY is set, own-signed with
# key 1 as the last change to its bytes, and last of all Authenticode-signed
# when a certificate is given. Nothing is left half written: every file is
# made beside its place and renamed into it.
cmake_minimum_required(VERSION 3.20)

set(root "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
set(bin "${root}/bin")
set(debug "${root}/debug")
set(out "${bin}/${SHIP_NAME}")
set(debug_file "${debug}/${SHIP_NAME}.debug")
file(MAKE_DIRECTORY "${bin}" "${debug}")
message(STATUS "Shipping: ${out}")

function(ship_run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE output
                  ERROR_VARIABLE output)
  if(NOT status EQUAL 0)
    string(REPLACE ";" " " command "${ARGN}")
    message(FATAL_ERROR "${command} failed (${status}):\n${output}")
  endif()
endfunction()

ship_run("${SHIP_OBJCOPY}" --only-keep-debug "${SHIP_INPUT}" "${debug_file}.part")
file(RENAME "${debug_file}.part" "${debug_file}")
file(CHMOD "${debug_file}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

# The debug link names the file and carries its CRC, so it is added after
# the debug file is whole. Stripping also drops the development signature
# that the build appended.
set(part "${out}.part")
ship_run("${SHIP_OBJCOPY}" --strip-all "--add-gnu-debuglink=${debug_file}" "${SHIP_INPUT}" "${part}")

if(NOT SHIP_PE)
  execute_process(COMMAND "${SHIP_READELF}" -n "${part}" OUTPUT_VARIABLE notes RESULT_VARIABLE status)
  if(NOT status EQUAL 0 OR NOT notes MATCHES "Build ID: ([0-9a-f][0-9a-f])([0-9a-f]+)")
    message(FATAL_ERROR "${SHIP_INPUT} has no build id")
  endif()
  file(MAKE_DIRECTORY "${debug}/.build-id/${CMAKE_MATCH_1}")
  file(CREATE_LINK "../../${SHIP_NAME}.debug"
       "${debug}/.build-id/${CMAKE_MATCH_1}/${CMAKE_MATCH_2}.debug" SYMBOLIC)
endif()

if(SHIP_SIGN_KEY)
  ship_run("${SHIP_SIGN_TOOL}" sign --key "${SHIP_SIGN_KEY}" --index 1 "${part}")
  # The tool trusts the keys the program was built with: anything but 3 here
  # would be a program that refuses itself.
  execute_process(COMMAND "${SHIP_SIGN_TOOL}" verify "${part}" OUTPUT_VARIABLE verdict
                  RESULT_VARIABLE status)
  if(NOT status EQUAL 0 OR NOT verdict MATCHES "^3")
    message(FATAL_ERROR "${out} does not verify as 3 after signing: ${verdict}")
  endif()
endif()

if(SHIP_PE AND SHIP_AUTHENTICODE_CERT)
  # The signing time is the commit's (SOURCE_DATE_EPOCH, which make release
  # sets), so a second build signs the same bytes.
  set(time_option "")
  if(NOT "$ENV{SOURCE_DATE_EPOCH}" STREQUAL "")
    set(time_option -time "$ENV{SOURCE_DATE_EPOCH}")
  endif()
  file(REMOVE "${part}.signed")
  ship_run(osslsigncode sign -certs "${SHIP_AUTHENTICODE_CERT}" -key "${SHIP_AUTHENTICODE_KEY}"
           -h sha256 -n Taverly ${time_option} -in "${part}" -out "${part}.signed")
  file(RENAME "${part}.signed" "${part}")
endif()

file(CHMOD "${part}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                 WORLD_READ WORLD_EXECUTE)
file(RENAME "${part}" "${out}")
