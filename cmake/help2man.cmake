# Writes a man page from a program's --help text.
#   cmake -DPROGRAM=path [-DEMULATOR=qemu|-L|dir] -DNAME=name -DSUMMARY=text -DVERSION=x.y.z
#         -DOUTPUT=file.1 -P help2man.cmake
# EMULATOR is the cross build's emulator command with '|' between its words.
string(REPLACE "|" ";" emulator "${EMULATOR}")
execute_process(COMMAND ${emulator} ${PROGRAM} --help
                OUTPUT_VARIABLE help RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 0 OR help STREQUAL "")
  message(FATAL_ERROR "${PROGRAM} --help failed (${rc}): ${err}")
endif()
# roff: backslashes print as \e, and a line that starts with . or ' must not be a request.
string(REPLACE "\\" "\\e" help "${help}")
string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" help "${help}")
string(TOUPPER "${NAME}" title)
file(WRITE ${OUTPUT}
  ".TH ${title} 1 \"\" \"${NAME} ${VERSION}\" \"User Commands\"\n"
  ".SH NAME\n${NAME} \\- ${SUMMARY}\n"
  ".SH DESCRIPTION\n.nf\n${help}.fi\n")
