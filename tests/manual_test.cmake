# Fails when groff has anything at all to say about the manual page.
execute_process(COMMAND groff -man -ww -z ${PAGE}
  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT status EQUAL 0 OR NOT "${out}${err}" STREQUAL "")
  message(FATAL_ERROR "groff (status ${status}):\n${out}${err}")
endif()
