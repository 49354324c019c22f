# Lints a manual page: groff must format it as man(7) with every warning
# enabled (-ww) and say nothing.
#   cmake -DGROFF=... -DPAGE=... -P check_man_page.cmake
cmake_minimum_required(VERSION 3.20)
execute_process(COMMAND ${GROFF} -man -ww -z ${PAGE}
                RESULT_VARIABLE result ERROR_VARIABLE messages)
if(NOT result EQUAL 0 OR NOT messages STREQUAL "")
  message(FATAL_ERROR "${PAGE} is not clean (status ${result}):\n${messages}")
endif()
message(STATUS "${PAGE}: clean")
