# Writes the header that names the commit the check program is built from: at every build, not only when configured,
# and only when its text changes, so that an unchanged tree rebuilds nothing.
#   cmake -DSOURCE_DIR=<the sources> -DOUTPUT=<header> -P check_commit.cmake
execute_process(COMMAND git -C ${SOURCE_DIR} rev-parse HEAD RESULT_VARIABLE failed OUTPUT_VARIABLE commit
  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
if(failed OR commit STREQUAL "")
  set(commit "unknown")
else()
  execute_process(COMMAND git -C ${SOURCE_DIR} status --porcelain --untracked-files=no OUTPUT_VARIABLE changes
    ERROR_QUIET)
  if(NOT changes STREQUAL "")
    string(APPEND commit " with uncommitted changes")
  endif()
endif()
file(WRITE ${OUTPUT}.new "#define QUORVENTINE_CHECK_COMMIT \"${commit}\"\n")
execute_process(COMMAND ${CMAKE_COMMAND} -E copy_if_different ${OUTPUT}.new ${OUTPUT})
file(REMOVE ${OUTPUT}.new)
