# Warnings as errors on our own code only (GoogleTest and generated sources are built without).
function(zepo_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()

# Embeds files into a program as resources of a numeric id and a type name.
#   zepo_add_resources(TARGET  ID TYPE FILE  [ID TYPE FILE]...)
# Windows: a resource script compiled by windres, found with FindResource at run time.
# POSIX: a generated table of byte arrays with the same id and type lookup.
function(zepo_add_resources target)
  set(args ${ARGN})
  list(LENGTH args count)
  math(EXPR rem "${count} % 3")
  if(NOT rem EQUAL 0)
    message(FATAL_ERROR "zepo_add_resources: arguments come in ID TYPE FILE triples")
  endif()
  set(files "")
  set(entries "")
  set(rc "")
  math(EXPR last "${count} - 1")
  foreach(i RANGE 0 ${last} 3)
    math(EXPR t "${i} + 1")
    math(EXPR f "${i} + 2")
    list(GET args ${i} id)
    list(GET args ${t} type)
    list(GET args ${f} source)
    # A copy in the build folder: the file may be another target's output (a generator
    # expression), which resource scripts and dependencies cannot name directly.
    set(file "${CMAKE_CURRENT_BINARY_DIR}/${target}_resource_${id}_${type}.bin")
    add_custom_command(OUTPUT "${file}" COMMAND ${CMAKE_COMMAND} -E copy "${source}" "${file}" DEPENDS "${source}" VERBATIM)
    list(APPEND files "${file}")
    list(APPEND entries "${id}|${type}|${file}")
    string(APPEND rc "${id} ${type} \"${file}\"\n")
  endforeach()
  if(WIN32)
    set(out "${CMAKE_CURRENT_BINARY_DIR}/${target}_resources.rc")
    file(GENERATE OUTPUT "${out}" CONTENT "${rc}")
    add_custom_target(${target}_resources DEPENDS ${files})
    add_dependencies(${target} ${target}_resources)
    target_sources(${target} PRIVATE "${out}")
    set_source_files_properties("${out}" PROPERTIES OBJECT_DEPENDS "${files}")
  else()
    set(out "${CMAKE_CURRENT_BINARY_DIR}/${target}_resources.cpp")
    string(REPLACE ";" "^" joined "${entries}")
    add_custom_command(
      OUTPUT "${out}"
      COMMAND ${CMAKE_COMMAND} "-DOUT=${out}" "-DENTRIES=${joined}" -P "${ZEPO_EMBED_SCRIPT}"
      DEPENDS ${files} "${ZEPO_EMBED_SCRIPT}"
      COMMENT "Embedding resources into ${target}"
      VERBATIM)
    target_sources(${target} PRIVATE "${out}")
  endif()
endfunction()
set(ZEPO_EMBED_SCRIPT "${CMAKE_CURRENT_LIST_DIR}/embed_resources.cmake" CACHE INTERNAL "")
