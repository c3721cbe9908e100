# Runs clang-format over the project's own sources: MODE=check fails on any
# difference, MODE=fix rewrites in place.
file(GLOB_RECURSE sources
  ${SOURCE_DIR}/render/*.[ch] ${SOURCE_DIR}/render/*.[ch]pp
  ${SOURCE_DIR}/engine/*.[ch]pp ${SOURCE_DIR}/support/*.[ch]pp
  ${SOURCE_DIR}/app/*.[ch]pp ${SOURCE_DIR}/tools/*.[ch]pp
  ${SOURCE_DIR}/tests/*.[ch]pp ${SOURCE_DIR}/tests/*.c ${SOURCE_DIR}/bench/*.[ch]pp)
if(MODE STREQUAL "fix")
  execute_process(COMMAND ${CLANG_FORMAT} -i ${sources})
else()
  execute_process(COMMAND ${CLANG_FORMAT} --dry-run --Werror ${sources} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "Formatting differs; run 'cmake --build build --target format'")
  endif()
endif()
