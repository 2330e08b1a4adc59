# cmake -DLIST=<file> -DOUT=<file> -P loaderkitInputsStamp.cmake
#
# Writes OUT anew when the size or time of any file named in LIST (one a
# line) is not what OUT says, and leaves it alone otherwise. A kit depends
# on OUT: a build tool rebuilds what is older than its inputs, so an input
# put back with an older time (cp -p, an unpacked archive, a checkout)
# would otherwise leave the kit as it was.
file(STRINGS "${LIST}" files)
set(text "")
foreach(file IN LISTS files)
  if(EXISTS "${file}" AND NOT IS_DIRECTORY "${file}")
    file(SIZE "${file}" size)
    file(TIMESTAMP "${file}" time "%Y-%m-%dT%H:%M:%S.%f" UTC)
    string(APPEND text "${size} ${time} ${file}\n")
  else()
    string(APPEND text "- - ${file}\n")
  endif()
endforeach()
set(old "")
if(EXISTS "${OUT}")
  file(READ "${OUT}" old)
endif()
if(NOT old STREQUAL text)
  file(WRITE "${OUT}" "${text}")
endif()
