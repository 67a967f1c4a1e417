# Runs widl and fails on anything it prints as well as on its exit status:
# widl warns and goes on where it writes a wrong library (a type imported
# twice from stdole2.tlb has put a wrong last byte into the LIBID).
#   cmake -DWIDL=<widl> -DINCLUDE=<dir> -DLIBRARIES=<dir> -DIDL=<file> -DOUTPUT=<file.tlb> -P widl-checked.cmake
execute_process(COMMAND ${WIDL} --win64 -I${INCLUDE} -L${LIBRARIES} -t -o ${OUTPUT} ${IDL}
                RESULT_VARIABLE status OUTPUT_VARIABLE said ERROR_VARIABLE said)
if(NOT status EQUAL 0 OR NOT said STREQUAL "")
  file(REMOVE ${OUTPUT})
  message(FATAL_ERROR "widl (exit status ${status}) on ${IDL}:\n${said}")
endif()
