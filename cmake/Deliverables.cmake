# orvane_deliverable_identity(TARGET target NAME name VERSION a.b.c.d
#                             DESCRIPTION text FILE_NAME file [MIME_TYPE type]
#                             [MANIFEST file])
#
# A deliverable's identity, declared once: its version reaches its code
# through the generated header "version/<name>.h" (k<Name>Version, the text
# pages are told) and, on Windows, its version resource (and manifest, as
# resource 2 of type 24) is compiled into target. A MIME type makes it a
# plug-in's resource: browsers read "MIMEType", "FileExtents" and
# "FileOpenName" to find the library.
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
    set(ORVANE_MANIFEST_RESOURCE "")
    if(D_MANIFEST)
      set(ORVANE_MANIFEST_RESOURCE "2 24 \"${D_MANIFEST}\"")
    endif()
    set(rc ${CMAKE_CURRENT_BINARY_DIR}/${D_NAME}_identity.rc)
    configure_file(${ORVANE_RESOURCES_DIR}/Version.rc.in ${rc} @ONLY)
    target_sources(${D_TARGET} PRIVATE ${rc})
    if(D_MANIFEST)
      set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS ${D_MANIFEST})
    endif()
  endif()
endfunction()
