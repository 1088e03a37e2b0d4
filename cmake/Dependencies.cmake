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
else()
  find_package(OpenSSL 3.0 REQUIRED)
  find_package(SQLite3 REQUIRED)
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
