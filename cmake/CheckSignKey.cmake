# The one reader of key files, and the check that refuses a secret key whose
# public half is not key 1 of a key folder: a Taverly signed with it would
# refuse itself (exit 201). Signing.cmake reads the public keys with it and
# checks the key that cmake --install signs with when the build is configured,
# before anything is built; the tests run the check as a script:
#   cmake -DKEY=<key1.key> -DKEY_DIR=<folder with key1.pub> -P cmake/CheckSignKey.cmake
include_guard(GLOBAL)

# Reads the hexadecimal text of a key file, lower case, without blanks.
function(taverly_read_key_text file out_var)
  if(NOT EXISTS "${file}")
    message(FATAL_ERROR "Key file ${file} is missing")
  endif()
  file(READ "${file}" text)
  string(STRIP "${text}" text)
  string(TOLOWER "${text}" text)
  set(${out_var} "${text}" PARENT_SCOPE)
endfunction()

# A secret key file is the 32-byte seed and the public key, 128 digits;
# taverly-sign refuses one whose seed does not give that public key.
function(taverly_check_sign_key key_file key_dir)
  taverly_read_key_text("${key_file}" secret)
  taverly_read_key_text("${key_dir}/key1.pub" public)
  if(NOT secret MATCHES "^[0-9a-f]+$")
    message(FATAL_ERROR "${key_file} is not a secret key file (128 hexadecimal digits)")
  endif()
  string(LENGTH "${secret}" length)
  if(NOT length EQUAL 128)
    message(FATAL_ERROR "${key_file} is not a secret key file (128 hexadecimal digits)")
  endif()
  string(SUBSTRING "${secret}" 64 64 public_half)
  if(NOT public_half STREQUAL public)
    message(FATAL_ERROR "${key_file} is not the secret half of key 1 in ${key_dir}: "
                        "its public half is ${public_half}, key1.pub is ${public}. "
                        "A Taverly signed with it would refuse itself (exit 201).")
  endif()
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  taverly_check_sign_key("${KEY}" "${KEY_DIR}")
endif()
