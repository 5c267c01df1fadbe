# Installs the build into an empty prefix, then runs the installed plinth on a
# file and checks its whole dialogue.
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/run)
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${WORK}/prefix
  RESULT_VARIABLE status OUTPUT_QUIET)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "install failed: ${status}")
endif()
cmake_path(GET MANUAL FILENAME manual)
cmake_path(GET CHANGELOG FILENAME changelog)
foreach(installed bin/plinth share/man/man1/${manual} share/doc/plinth/copyright
        share/doc/plinth/${changelog})
  if(NOT EXISTS ${WORK}/prefix/${installed})
    message(FATAL_ERROR "not installed: ${installed}")
  endif()
endforeach()
# The page arrives whole, compressed or not, and the licence in the
# machine-readable copyright format.
if(manual MATCHES "[.]gz$")
  execute_process(COMMAND gzip -dc ${WORK}/prefix/share/man/man1/${manual}
    RESULT_VARIABLE status OUTPUT_VARIABLE page)
else()
  file(READ ${WORK}/prefix/share/man/man1/${manual} page)
endif()
file(READ ${SOURCE}/plinth.1 source_page)
file(READ ${WORK}/prefix/share/doc/plinth/copyright copyright)
string(CONCAT format "^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
  ".*\nLicense: Expat\n Permission is hereby granted, free of charge, .*\n SOFTWARE.\n$")
if(NOT status EQUAL 0 OR NOT page STREQUAL source_page OR NOT copyright MATCHES "${format}")
  message(FATAL_ERROR "installed manual page or copyright differs from the source")
endif()

file(WRITE ${WORK}/run/list.txt "b\na\n")
file(WRITE ${WORK}/input "select data from `list.txt` order by data;\nquit\n")
execute_process(COMMAND ${WORK}/prefix/bin/plinth list.txt
  WORKING_DIRECTORY ${WORK}/run INPUT_FILE ${WORK}/input
  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
string(REPEAT "-" 72 rule)
set(expected "-- plinth\n-- Type 'help' for help\n\nsql> data\n${rule}\na\nb\n1 rows affected.\nsql> ")
if(NOT status EQUAL 0 OR NOT out STREQUAL expected OR NOT err STREQUAL "")
  message(FATAL_ERROR "installed plinth: status ${status}\nout:\n${out}\nerr:\n${err}")
endif()
if(EXISTS ${WORK}/run/plinth.temp.htnilp)
  message(FATAL_ERROR "scratch database left behind")
endif()
file(REMOVE_RECURSE ${WORK})
