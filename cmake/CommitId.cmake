# Writes the commit the build is made from into a header, at every build (not only when cmake
# configures), "-dirty" when the work tree has changes; the header is rewritten only when the
# commit changes, so nothing is recompiled for nothing.
# Usage: cmake -DSOURCE_DIR=... -DOUTPUT=.../CommitId.h -P CommitId.cmake
execute_process(COMMAND git describe --always --dirty --abbrev=7
  WORKING_DIRECTORY ${SOURCE_DIR} OUTPUT_VARIABLE commit OUTPUT_STRIP_TRAILING_WHITESPACE
  ERROR_QUIET RESULT_VARIABLE failed)
if(failed OR NOT commit)
  set(commit unknown)
endif()
file(WRITE ${OUTPUT}.new "#define JOINTCAST_COMMIT \"${commit}\"\n")
execute_process(COMMAND ${CMAKE_COMMAND} -E copy_if_different ${OUTPUT}.new ${OUTPUT})
file(REMOVE ${OUTPUT}.new)
