# Every dependency comes from the distribution's packages. glog (with gflags and
# libunwind) is linked statically so that a product library bringing its own copy
# cannot share, and abort, the program's logging state.
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)

add_library(taverly_deps INTERFACE)

if(WIN32)
  # Static MinGW builds of glog and libsodium, made by scripts/build-windows-deps
  # into TAVERLY_WINDOWS_DEPS (set by the toolchain file).
  target_compile_definitions(taverly_deps INTERFACE GLOG_NO_ABBREVIATED_SEVERITIES SODIUM_STATIC)
  target_link_libraries(taverly_deps INTERFACE ${TAVERLY_WINDOWS_DEPS}/lib/libglog.a
                                               ${TAVERLY_WINDOWS_DEPS}/lib/libsodium.a
                                               shlwapi shell32 advapi32 dbghelp
                                               wtsapi32 userenv)
else()
  find_library(GLOG_STATIC libglog.a REQUIRED)
  find_library(GFLAGS_STATIC libgflags.a REQUIRED)
  # libunwind's archive is not position-independent; its shared library holds
  # no logging state, so it may be shared.
  find_library(UNWIND_LIB unwind REQUIRED)
  find_library(LZMA_LIB lzma)
  find_library(SODIUM_STATIC libsodium.a REQUIRED)
  find_path(GLOG_INCLUDE glog/logging.h REQUIRED)
  target_include_directories(taverly_deps INTERFACE ${GLOG_INCLUDE})
  target_link_libraries(taverly_deps INTERFACE ${GLOG_STATIC} ${GFLAGS_STATIC} ${UNWIND_LIB}
                                               ${SODIUM_STATIC} Threads::Threads ${CMAKE_DL_LIBS})
  if(LZMA_LIB)
    target_link_libraries(taverly_deps INTERFACE ${LZMA_LIB})
  endif()
  # sd-login's header only: the library that reads the login manager's
  # sessions (the system's own, part of every systemd installation) is
  # loaded when an item asks for a user's session, so that a run without
  # one loads nothing more (Platform/process/sessions_posix.cpp).
  pkg_check_modules(LIBSYSTEMD REQUIRED libsystemd)
  target_include_directories(taverly_deps INTERFACE ${LIBSYSTEMD_INCLUDE_DIRS})
endif()

if(WIN32)
  # The deps prefix links to the distribution's headers: /usr/include itself
  # must never be on a MinGW include path.
  target_include_directories(taverly_deps SYSTEM INTERFACE ${TAVERLY_WINDOWS_DEPS}/include)
else()
  find_path(RAPIDXML_INCLUDE rapidxml/rapidxml.hpp REQUIRED)
  find_path(RAPIDJSON_INCLUDE rapidjson/document.h REQUIRED)
  target_include_directories(taverly_deps SYSTEM INTERFACE ${RAPIDXML_INCLUDE} ${RAPIDJSON_INCLUDE})
endif()
