# Builds the public keys of TAVERLY_KEY_DIR into the program and signs the
# program with development key 1 as the last step of its build.
#
# Include from the top-level CMakeLists.txt before the program's folder; call
# taverly_sign_with_dev_key1(<target>) in the folder that creates the target.
include_guard(GLOBAL)

set(TAVERLY_DEV_KEY_DIR "${CMAKE_SOURCE_DIR}/keys/dev")
set(TAVERLY_KEY_DIR "${TAVERLY_DEV_KEY_DIR}" CACHE PATH
    "Folder holding the public keys key0.pub and key1.pub compiled into the program")
set(TAVERLY_GENERATED_DIR "${CMAKE_BINARY_DIR}/generated")

# A cross build cannot run the signing tool it builds: pass a tool built for
# the build machine (e.g. build/taverly-sign), or set CMAKE_CROSSCOMPILING_EMULATOR.
set(TAVERLY_SIGN_TOOL "" CACHE FILEPATH
    "taverly-sign that runs on the build machine (default: the one built here)")

include(${CMAKE_CURRENT_LIST_DIR}/CheckSignKey.cmake)
# Reads one public key file (hexadecimal text) into a C initializer list.
function(_taverly_read_public_key file out_var)
  if(NOT EXISTS "${file}")
    message(FATAL_ERROR "Public key file ${file} is missing (TAVERLY_KEY_DIR=${TAVERLY_KEY_DIR})")
  endif()
  taverly_read_key_text("${file}" text)
  string(LENGTH "${text}" length)
  if(NOT text MATCHES "^[0-9a-f]+$" OR NOT length EQUAL 64)
    message(FATAL_ERROR "Public key file ${file} is not 64 hexadecimal digits")
  endif()
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${text}")
  string(REGEX REPLACE ",$" "" bytes "${bytes}")
  set(${out_var} "${bytes}" PARENT_SCOPE)
  set(${out_var}_TEXT "${text}" PARENT_SCOPE)
endfunction()

_taverly_read_public_key("${TAVERLY_KEY_DIR}/key0.pub" TAVERLY_PUBLIC_KEY0)
_taverly_read_public_key("${TAVERLY_KEY_DIR}/key1.pub" TAVERLY_PUBLIC_KEY1)
set_property(DIRECTORY "${CMAKE_SOURCE_DIR}" APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             "${TAVERLY_KEY_DIR}/key0.pub" "${TAVERLY_KEY_DIR}/key1.pub")

# A development build is one whose keys are the development pair, wherever
# the folder lies: anyone holding the repository can sign for it.
set(_taverly_dev_key0_TEXT "")
set(_taverly_dev_key1_TEXT "")
if(EXISTS "${TAVERLY_DEV_KEY_DIR}/key0.pub" AND EXISTS "${TAVERLY_DEV_KEY_DIR}/key1.pub")
  _taverly_read_public_key("${TAVERLY_DEV_KEY_DIR}/key0.pub" _taverly_dev_key0)
  _taverly_read_public_key("${TAVERLY_DEV_KEY_DIR}/key1.pub" _taverly_dev_key1)
endif()
if(TAVERLY_PUBLIC_KEY0_TEXT STREQUAL _taverly_dev_key0_TEXT OR
   TAVERLY_PUBLIC_KEY1_TEXT STREQUAL _taverly_dev_key1_TEXT)
  set(TAVERLY_DEVELOPMENT_KEYS ON)
  message(WARNING "Development build: the program trusts the development keys of keys/dev, "
                  "whose secret halves are in the repository. Do not ship this build; "
                  "set TAVERLY_KEY_DIR to the release keys for a release.")
else()
  set(TAVERLY_DEVELOPMENT_KEYS OFF)
  message(STATUS "Public keys compiled in from ${TAVERLY_KEY_DIR}")
endif()
# Only a program that trusts development key 1 can pass its own check when the
# build signs it with that key.
if(TAVERLY_PUBLIC_KEY1_TEXT STREQUAL _taverly_dev_key1_TEXT)
  set(TAVERLY_TRUSTS_DEV_KEY1 ON)
else()
  set(TAVERLY_TRUSTS_DEV_KEY1 OFF)
endif()

# The key that cmake --install signs the shipped Taverly with, as its last step.
if(TAVERLY_TRUSTS_DEV_KEY1)
  set(_taverly_default_sign_key "${TAVERLY_DEV_KEY_DIR}/key1.key")
else()
  set(_taverly_default_sign_key "")
endif()
set(TAVERLY_SIGN_KEY "${_taverly_default_sign_key}" CACHE FILEPATH
    "Secret key (index 1) that cmake --install signs Taverly with; its public half must be key1.pub of TAVERLY_KEY_DIR")
if(TAVERLY_SIGN_KEY)
  taverly_check_sign_key("${TAVERLY_SIGN_KEY}" "${TAVERLY_KEY_DIR}")
endif()

file(CONFIGURE OUTPUT "${TAVERLY_GENERATED_DIR}/Signing/public_keys.h" CONTENT
"// Generated at configure time from the public keys in TAVERLY_KEY_DIR.
#pragma once

namespace signing {
namespace generated {

constexpr unsigned char kPublicKey0[32] = {@TAVERLY_PUBLIC_KEY0@};
constexpr unsigned char kPublicKey1[32] = {@TAVERLY_PUBLIC_KEY1@};

}  // namespace generated
}  // namespace signing
" @ONLY)
# Deferred, so this file may be included before the library exists.
cmake_language(DEFER DIRECTORY "${CMAKE_SOURCE_DIR}" CALL
               target_include_directories taverly PRIVATE "${TAVERLY_GENERATED_DIR}")

# Signs target's file in place with development key 1 after every link, so
# that a development build passes its own signature check. A build with other
# keys is left unsigned: release signing happens outside the build.
function(taverly_sign_with_dev_key1 target)
  if(NOT TAVERLY_TRUSTS_DEV_KEY1)
    message(STATUS "${target} is not signed by the build: sign it with the release key 1")
    return()
  endif()
  if(TAVERLY_SIGN_TOOL)
    set(tool "${TAVERLY_SIGN_TOOL}")
  elseif(NOT CMAKE_CROSSCOMPILING OR CMAKE_CROSSCOMPILING_EMULATOR)
    # A target name runs the tool built here, through the emulator when one is set.
    set(tool taverly-sign)
  else()
    message(FATAL_ERROR "Cross build: set TAVERLY_SIGN_TOOL to a taverly-sign that runs on "
                        "this machine (e.g. from a native build), or set "
                        "CMAKE_CROSSCOMPILING_EMULATOR")
  endif()
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${tool} sign --key "${TAVERLY_DEV_KEY_DIR}/key1.key" --index 1
            "$<TARGET_FILE:${target}>"
    COMMENT "Signing ${target} with development key 1"
    VERBATIM)
  set_property(TARGET ${target} PROPERTY TAVERLY_SIGNED_BY_BUILD ON)
endfunction()
