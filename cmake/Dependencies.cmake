# Outside libraries. On Linux they come from Debian's -dev packages; the Windows
# cross build compiles cJSON and GoogleTest from the sources that
# scripts/bootstrap.sh fetched (Debian's source package and source folder).

if(ORVANE_TARGET_WINDOWS)
  set(ORVANE_CJSON_SOURCE_DIR "${CMAKE_SOURCE_DIR}/.deps/cjson" CACHE PATH "cJSON sources")
  if(NOT EXISTS "${ORVANE_CJSON_SOURCE_DIR}/cJSON.c")
    message(FATAL_ERROR "cJSON sources not found in ${ORVANE_CJSON_SOURCE_DIR}; run scripts/bootstrap.sh")
  endif()
  add_library(cjson STATIC "${ORVANE_CJSON_SOURCE_DIR}/cJSON.c")
  target_include_directories(cjson SYSTEM PUBLIC "${ORVANE_CJSON_SOURCE_DIR}")
  target_compile_definitions(cjson PUBLIC CJSON_HIDE_SYMBOLS)
  add_library(cJSON::cjson ALIAS cjson)
  # OpenSSL's libcrypto, cross-built once by scripts/bootstrap.sh from Debian's
  # source package: only orvane-verify uses it (the system code has CryptoAPI).
  # Without it the Windows build leaves orvane-verify out.
  set(ORVANE_OPENSSL_MINGW_DIR "${CMAKE_SOURCE_DIR}/.deps/openssl-mingw64" CACHE PATH
    "OpenSSL cross-built for mingw64")
  if(EXISTS "${ORVANE_OPENSSL_MINGW_DIR}/lib/libcrypto.a")
    add_library(OpenSSL::Crypto STATIC IMPORTED)
    set_target_properties(OpenSSL::Crypto PROPERTIES
      IMPORTED_LOCATION "${ORVANE_OPENSSL_MINGW_DIR}/lib/libcrypto.a"
      INTERFACE_INCLUDE_DIRECTORIES "${ORVANE_OPENSSL_MINGW_DIR}/include"
      INTERFACE_LINK_LIBRARIES "ws2_32;gdi32;crypt32;bcrypt;advapi32;user32")
  else()
    message(STATUS "OpenSSL for mingw64 not in ${ORVANE_OPENSSL_MINGW_DIR}: no orvane-verify.exe "
      "(scripts/bootstrap.sh builds it)")
  endif()
else()
  find_package(OpenSSL 3.0 REQUIRED)
  find_package(SQLite3 REQUIRED)
  find_package(LibXml2 REQUIRED)
  # Tokens over PKCS#11 (the stand-in's token providers) find their modules
  # through p11-kit.
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(P11Kit REQUIRED IMPORTED_TARGET p11-kit-1)
  find_path(CJSON_INCLUDE_DIR cjson/cJSON.h REQUIRED)
  find_library(CJSON_LIBRARY cjson REQUIRED)
  add_library(cJSON::cjson UNKNOWN IMPORTED)
  set_target_properties(cJSON::cjson PROPERTIES IMPORTED_LOCATION "${CJSON_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${CJSON_INCLUDE_DIR}/cjson")
endif()

if(ORVANE_BUILD_TESTS)
  if(ORVANE_TARGET_WINDOWS)
    set(ORVANE_GTEST_SOURCE_DIR "/usr/src/googletest" CACHE PATH "GoogleTest sources")
    set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
    add_subdirectory("${ORVANE_GTEST_SOURCE_DIR}" "${CMAKE_BINARY_DIR}/_deps/googletest" EXCLUDE_FROM_ALL SYSTEM)
  else()
    find_package(GTest REQUIRED)
  endif()
endif()
