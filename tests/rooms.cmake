# Which way the includes of the source tree may run:
#   src/text is the ground floor: it includes nothing of ours but itself;
#   src/catalogue and tools never include src/app.
# Prints every include that runs the wrong way and fails on any.
#   cmake -DROOT=<source dir> -P tests/rooms.cmake
set(wrong "")
# check(ROOM_GLOB ALLOWED_REGEX RULE): every quoted include of the files must
# match ALLOWED_REGEX.
function(check room_glob allowed rule)
  file(GLOB_RECURSE files ${ROOT}/${room_glob})
  foreach(file ${files})
    file(STRINGS ${file} lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
    foreach(line ${lines})
      string(REGEX MATCH "\"([^\"]+)\"" _ "${line}")
      set(included "${CMAKE_MATCH_1}")
      if(NOT included MATCHES "${allowed}")
        file(RELATIVE_PATH name ${ROOT} ${file})
        set(wrong "${wrong}  ${name}: ${included} (${rule})\n")
        set(wrong "${wrong}" PARENT_SCOPE)
      endif()
    endforeach()
  endforeach()
endfunction()

check("src/text/*" "^text/" "text includes nothing of ours")
check("src/catalogue/*" "^([^a]|a[^p]|ap[^p]|app[^/])" "catalogue never includes app")
check("tools/*" "^([^a]|a[^p]|ap[^p]|app[^/])" "tools never include app")

if(wrong)
  message(FATAL_ERROR "includes that run the wrong way:\n${wrong}")
endif()
message(STATUS "rooms: every include runs the right way")
