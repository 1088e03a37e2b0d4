# orvane_deliverable_identity(TARGET target NAME name VERSION a.b.c.d
#                             DESCRIPTION text FILE_NAME file [MIME_TYPE type]
#                             [MANIFEST file])
#
# A deliverable's identity, declared once: its version reaches its code
# through the generated header "version/<name>.h" (k<Name>Version, the text
# pages are told) and, on Windows, its version resource (and manifest, of
# type 24: resource 2 for a library, 1 for a program) is compiled into
# target. A MIME type makes it a plug-in's resource: browsers read
# "MIMEType", "FileExtents" and "FileOpenName" to find the library.
set(ORVANE_GENERATED_DIR ${PROJECT_BINARY_DIR}/generated)
set(ORVANE_RESOURCES_DIR ${PROJECT_SOURCE_DIR}/resources)

function(orvane_deliverable_identity)
  cmake_parse_arguments(D "" "TARGET;NAME;VERSION;DESCRIPTION;FILE_NAME;MIME_TYPE;MANIFEST" "" ${ARGN})
  foreach(required TARGET NAME VERSION DESCRIPTION FILE_NAME)
    if(NOT D_${required})
      message(FATAL_ERROR "orvane_deliverable_identity: ${required} is required")
    endif()
  endforeach()
  if(NOT D_VERSION MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+$")
    message(FATAL_ERROR "${D_NAME}: a version has four numbers, not \"${D_VERSION}\"")
  endif()

  set(ORVANE_NAME ${D_NAME})
  set(ORVANE_VERSION ${D_VERSION})
  string(SUBSTRING ${D_NAME} 0 1 first)
  string(SUBSTRING ${D_NAME} 1 -1 rest)
  string(TOUPPER ${first} first)
  set(ORVANE_IDENTIFIER "k${first}${rest}Version")
  configure_file(${ORVANE_RESOURCES_DIR}/Version.h.in
    ${ORVANE_GENERATED_DIR}/version/${D_NAME}.h @ONLY)

  if(ORVANE_TARGET_WINDOWS)
    string(REPLACE "." "," ORVANE_VERSION_COMMAS ${D_VERSION})
    set(ORVANE_DESCRIPTION ${D_DESCRIPTION})
    set(ORVANE_FILE_NAME ${D_FILE_NAME})
    if(D_MIME_TYPE)
      set(ORVANE_FILE_TYPE VFT_DLL)
      set(ORVANE_PLUGIN_VALUES
        "            VALUE \"MIMEType\", \"${D_MIME_TYPE}\"\n            VALUE \"FileExtents\", \"*\"\n            VALUE \"FileOpenName\", \"${D_NAME}\"")
    else()
      set(ORVANE_FILE_TYPE VFT_APP)
      set(ORVANE_PLUGIN_VALUES "")
    endif()
    # A library's manifest is resource 2 (read when it is loaded); a
    # program's is resource 1 (read when its process is created).
    set(ORVANE_MANIFEST_RESOURCE "")
    if(D_MANIFEST)
      get_target_property(kind ${D_TARGET} TYPE)
      if(kind STREQUAL "EXECUTABLE")
        set(ORVANE_MANIFEST_RESOURCE "1 24 \"${D_MANIFEST}\"")
      else()
        set(ORVANE_MANIFEST_RESOURCE "2 24 \"${D_MANIFEST}\"")
      endif()
    endif()
    set(rc ${CMAKE_CURRENT_BINARY_DIR}/${D_NAME}_identity.rc)
    configure_file(${ORVANE_RESOURCES_DIR}/Version.rc.in ${rc} @ONLY)
    target_sources(${D_TARGET} PRIVATE ${rc})
    if(D_MANIFEST)
      set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS ${D_MANIFEST})
    endif()
  endif()
endfunction()

# orvane_native_host_program(target): what every native-messaging host
# program links besides its own libraries: the wide entry point on Windows,
# the stand-in's main on POSIX. The browser starts a host for each
# conversation, so on POSIX the C++ runtime is linked in: it saves the loader
# more than half of its symbol lookups (about 1 ms of every start).
function(orvane_native_host_program target)
  if(ORVANE_TARGET_WINDOWS)
    target_link_options(${target} PRIVATE -municode)
  else()
    target_link_libraries(${target} PRIVATE orvane_platform_main)
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND NOT ORVANE_SANITIZE)
      target_link_options(${target} PRIVATE -static-libstdc++ -static-libgcc)
    endif()
  endif()
endfunction()
