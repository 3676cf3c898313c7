# ctest's check of one program's --version: exit status 0 and one line,
# "NAME VERSION". EMULATOR runs a cross build's program.
execute_process(COMMAND ${EMULATOR} ${PROGRAM} --version OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} --version: exit status ${rc}\n${out}${err}")
endif()
if(NOT out MATCHES "^${NAME} [0-9]+\\.[0-9]+\\.[0-9]+[-0-9a-z.]*\n$")
  message(FATAL_ERROR "${PROGRAM} --version printed:\n${out}")
endif()
