# Puts a program's --help text into a man page template, in place of the line @HELP_TEXT@,
# escaped for roff.
# cmake -DPROGRAM=... -DTEMPLATE=... -DOUTPUT=... -P ManFromHelp.cmake
cmake_minimum_required(VERSION 3.25)
execute_process(COMMAND ${PROGRAM} --help OUTPUT_VARIABLE text RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} --help failed: ${rc}")
endif()
string(REPLACE "\\" "\\e" text "${text}")
string(REPLACE "-" "\\-" text "${text}")
# A line that starts with a dot or a quote would be read as a request.
string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" text "${text}")
string(STRIP "${text}" text)
file(READ ${TEMPLATE} page)
string(REPLACE "@HELP_TEXT@" "${text}" page "${page}")
file(WRITE ${OUTPUT} "${page}")
