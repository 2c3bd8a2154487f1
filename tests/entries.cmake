# Writes the ctest entries of a test program from its own list of test functions
# and data rows (-datatags), run after each build: an entry per row of a function
# with rows (NAME:tag, run as "function:tag") and per function without (NAME:function),
# so that a new function or row can never be left without an entry.
#   PROGRAM   the test program       NAME     the entries' prefix
#   OUTPUT    the file ctest reads   TIMEOUT  each entry's limit in seconds
#   SLOW      entries (regex) that wait out a time limit: labelled slow
#   FIRST     entries (regex) started first: the longest waits
execute_process(COMMAND ${PROGRAM} -datatags OUTPUT_VARIABLE output RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} -datatags failed")
endif()
string(REGEX REPLACE "[\r\n]+" ";" lines "${output}")
set(text "")
set(count 0)
foreach(line ${lines})
  # "Class function" or "Class function tag".
  if(NOT line MATCHES "^[^ ]+ ([^ ]+)( (.+))?$")
    continue()
  endif()
  set(function "${CMAKE_MATCH_1}")
  set(tag "${CMAKE_MATCH_3}")
  if(tag STREQUAL "")
    set(entry "${NAME}:${function}")
    set(argument "${function}")
  else()
    set(entry "${NAME}:${tag}")
    set(argument "${function}:${tag}")
  endif()
  set(labels "integration")
  if(SLOW AND entry MATCHES "${SLOW}")
    set(labels "integration\\;slow")
  endif()
  string(APPEND text "add_test([=[${entry}]=] [=[${PROGRAM}]=] [=[${argument}]=])\n")
  string(APPEND text "set_tests_properties([=[${entry}]=] PROPERTIES TIMEOUT ${TIMEOUT} LABELS \"${labels}\")\n")
  if(FIRST AND entry MATCHES "${FIRST}")
    string(APPEND text "set_tests_properties([=[${entry}]=] PROPERTIES COST 1000)\n")
  endif()
  math(EXPR count "${count} + 1")
endforeach()
if(count EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} lists no test function")
endif()
file(WRITE "${OUTPUT}" "${text}")
