# The version of this tree: VERSION at its top, one semantic version
# (MAJOR.MINOR.PATCH, maybe with a pre-release such as -rc.1), and the commit
# it was built from beside it where git can tell: 1.0.0+abc1234, with
# ".dirty" after the commit while the work tree has uncommitted changes.
#   MORVASTEL_VERSION_PLAIN  1.0.0          the zips' names, VERSIONINFO's numbers
#   MORVASTEL_VERSION        1.0.0+abc1234  the journal's start line, status,
#                                           morvastelctl version, listcheck --version
# An edit of VERSION configures the build again.
set_property(DIRECTORY ${CMAKE_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/VERSION)
file(STRINGS ${CMAKE_SOURCE_DIR}/VERSION MORVASTEL_VERSION_PLAIN LIMIT_COUNT 1)
string(STRIP "${MORVASTEL_VERSION_PLAIN}" MORVASTEL_VERSION_PLAIN)
if(NOT MORVASTEL_VERSION_PLAIN MATCHES "^(0|[1-9][0-9]*)\\.(0|[1-9][0-9]*)\\.(0|[1-9][0-9]*)(-[0-9A-Za-z.-]+)?$")
  message(FATAL_ERROR "VERSION holds '${MORVASTEL_VERSION_PLAIN}', not a version such as 1.2.3 or 1.2.3-rc.1")
endif()
# VERSIONINFO keeps each number in 16 bits.
set(MORVASTEL_VERSION_NUMBERS ${CMAKE_MATCH_1} ${CMAKE_MATCH_2} ${CMAKE_MATCH_3})
foreach(number ${MORVASTEL_VERSION_NUMBERS})
  if(number GREATER 65535)
    message(FATAL_ERROR "VERSION ${MORVASTEL_VERSION_PLAIN}: ${number} does not fit a Windows version number")
  endif()
endforeach()
string(REPLACE ";" "," MORVASTEL_VERSION_COMMAS "${MORVASTEL_VERSION_NUMBERS}")

set(MORVASTEL_VERSION ${MORVASTEL_VERSION_PLAIN})
execute_process(COMMAND git rev-parse --short HEAD WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
                OUTPUT_VARIABLE commit OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE no_commit)
if(no_commit EQUAL 0 AND commit)
  execute_process(COMMAND git diff --quiet HEAD WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
                  RESULT_VARIABLE changed ERROR_QUIET)
  if(changed EQUAL 0)
    set(MORVASTEL_VERSION "${MORVASTEL_VERSION_PLAIN}+${commit}")
  else()
    set(MORVASTEL_VERSION "${MORVASTEL_VERSION_PLAIN}+${commit}.dirty")
  endif()
endif()
message(STATUS "Morvastel ${MORVASTEL_VERSION}")

# Gives `target` the macro MORVASTEL_VERSION ("1.0.0+abc1234").
function(morvastel_version target)
  target_compile_definitions(${target} PRIVATE MORVASTEL_VERSION="${MORVASTEL_VERSION}")
endfunction()

# Links a VERSIONINFO resource into the Windows program `target`: file and
# product version, product name Morvastel, `description` (UTF-8, shown by
# Explorer's properties), and the file's name.
function(morvastel_version_resource target description)
  if(NOT WIN32)
    return()
  endif()
  get_target_property(MORVASTEL_RC_NAME ${target} OUTPUT_NAME)
  if(NOT MORVASTEL_RC_NAME)
    set(MORVASTEL_RC_NAME ${target})
  endif()
  set(MORVASTEL_RC_DESCRIPTION "${description}")
  set(rc ${CMAKE_BINARY_DIR}/version/${target}.rc)
  configure_file(${CMAKE_SOURCE_DIR}/cmake/version.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
  # windres reads the generated file as UTF-8, like the program's own.
  set_source_files_properties(${rc} PROPERTIES COMPILE_FLAGS "-c 65001")
endfunction()
