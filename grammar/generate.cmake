# Runs the ANTLR tool on the grammar (C++ target, visitor and listener on).
#
# The rules `if`, `for`, `break` and `continue` name rule functions that are
# C++ keywords. Newer ANTLR releases rename such functions by appending an
# underscore (`if_()`), while context classes and visitor operations keep the
# rule name (`IfContext`, `visitIf`). The Debian release of the tool only
# reports error 134 for them and writes the keyword itself, so the same rename
# is applied here to the freshly generated files. Any other tool error fails
# the build.
file(MAKE_DIRECTORY ${OUT_DIR})
execute_process(
  COMMAND ${ANTLR4_TOOL} -Dlanguage=Cpp -visitor -listener -Xexact-output-dir -o ${OUT_DIR} ${GRAMMAR}
  RESULT_VARIABLE rc
  OUTPUT_VARIABLE out
  ERROR_VARIABLE err)
set(all "${out}${err}")
string(REGEX MATCHALL "error\\([0-9]+\\)[^\n]*" errors "${all}")
foreach(e IN LISTS errors)
  if(NOT e MATCHES "^error\\(134\\)")
    message(FATAL_ERROR "ANTLR failed:\n${all}")
  endif()
endforeach()
if(NOT rc EQUAL 0 AND NOT errors)
  message(FATAL_ERROR "ANTLR failed (${rc}):\n${all}")
endif()
foreach(f KorParser.h KorParser.cpp)
  file(READ ${OUT_DIR}/${f} text)
  string(REGEX REPLACE "([^A-Za-z0-9_])(if|for|break|continue)\\(\\)" "\\1\\2_()" text "${text}")
  file(WRITE ${OUT_DIR}/${f} "${text}")
endforeach()
