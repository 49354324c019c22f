# The programs find the registry helper in the installation's
# libexec/quillfix or beside themselves, never by a path of the build tree:
# in the build tree, each program that may start it gets a copy beside it.
function(quillfix_helper_beside target)
  if(WIN32)
    return()
  endif()
  add_dependencies(${target} quillfix_reghelper)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E copy_if_different ${QUILLFIX_REGHELPER}
            $<TARGET_FILE_DIR:${target}>/quillfix-reghelper.exe
    VERBATIM)
endfunction()
