# Writes the typed binary resources that a resource script names into a C++
# table for the POSIX stand-in's FindResourceW. Run in script mode:
#   cmake -DRC_FILE=<script.rc> -DTYPES=PNG;... -DOUTPUT=<file.inc> -P EmbedResources.cmake
# Each resource is one line of the script, "<id> <TYPE> "<file>"", with the
# file relative to the script's folder.

if(CMAKE_SCRIPT_MODE_FILE)
  cmake_policy(VERSION 3.25)
endif()

# orvane_list_binary_resources(<rc file> <types> <out var>): "id|TYPE|path"
# entries, also used at configure time to know what the table depends on.
function(orvane_list_binary_resources rc_file types out_var)
  get_filename_component(dir "${rc_file}" DIRECTORY)
  file(STRINGS "${rc_file}" lines REGEX "^[0-9]+[ \t]+[A-Z_]+[ \t]+\"[^\"]+\"")
  set(result "")
  foreach(line IN LISTS lines)
    string(REGEX MATCH "^([0-9]+)[ \t]+([A-Z_]+)[ \t]+\"([^\"]+)\"" _ "${line}")
    if(CMAKE_MATCH_2 IN_LIST types)
      list(APPEND result "${CMAKE_MATCH_1}|${CMAKE_MATCH_2}|${dir}/${CMAKE_MATCH_3}")
    endif()
  endforeach()
  set(${out_var} "${result}" PARENT_SCOPE)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE)
  orvane_list_binary_resources("${RC_FILE}" "${TYPES}" entries)
  get_filename_component(rc_name "${RC_FILE}" NAME)
  set(body "// Generated from ${rc_name} by EmbedResources.cmake; do not edit.\n")
  set(table "")
  set(n 0)
  foreach(entry IN LISTS entries)
    string(REPLACE "|" ";" parts "${entry}")
    list(GET parts 0 id)
    list(GET parts 1 type)
    list(GET parts 2 path)
    file(READ "${path}" hex HEX)
    string(LENGTH "${hex}" hex_length)
    math(EXPR size "${hex_length} / 2")
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
    # Line breaks every 16 bytes keep the generated file readable.
    string(REPEAT "0x..," 16 group)
    string(REGEX REPLACE "(${group})" "\\1\n" bytes "${bytes}")
    string(APPEND body "static const BYTE kResource${n}[${size}] = {\n${bytes}};\n")
    string(APPEND table "    {u\"${type}\", ${id}, kResource${n}, ${size}},\n")
    math(EXPR n "${n} + 1")
  endforeach()
  string(APPEND body "static const ORVANE_BINARY_RESOURCE kBinaries[] = {\n${table}};\n")
  file(WRITE "${OUTPUT}.tmp" "${body}")
  file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
  file(REMOVE "${OUTPUT}.tmp")
endif()
