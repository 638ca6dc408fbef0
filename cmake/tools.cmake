# Tests that need a tool this machine may lack (spin, valgrind, Python, the
# release and host-language tools). A missing tool never stops the build: its
# tests are still registered, and report themselves skipped with the reason.
# `make test` installs every tool first (scripts/ensure-deps), so there they run.

# quenthaloy_find_tools(program...): the full path of each program in
# QUENTHALOY_<PROGRAM> (QUENTHALOY_LLD_LINK for lld-link), or NOTFOUND. Set
# one to OFF to have its tests skipped as if it were missing.
function(quenthaloy_find_tools)
  foreach(program ${ARGN})
    string(MAKE_C_IDENTIFIER ${program} variable)
    string(TOUPPER QUENTHALOY_${variable} variable)
    find_program(${variable} ${program})
  endforeach()
endfunction()

# The programs of `programs` that quenthaloy_find_tools did not find, in `out`.
function(quenthaloy_missing_tools out)
  set(missing "")
  foreach(program ${ARGN})
    string(MAKE_C_IDENTIFIER ${program} variable)
    string(TOUPPER QUENTHALOY_${variable} variable)
    if(NOT ${variable})
      list(APPEND missing ${program})
    endif()
  endforeach()
  set(${out} ${missing} PARENT_SCOPE)
endfunction()

# quenthaloy_skipped_test(name reason...): a test that only reports itself
# skipped.
function(quenthaloy_skipped_test name)
  add_test(NAME ${name} COMMAND ${PROJECT_SOURCE_DIR}/scripts/skip-test ${ARGN})
  set_tests_properties(${name} PROPERTIES SKIP_RETURN_CODE 77)
endfunction()

# quenthaloy_tool_test(NAME name NEEDS program... [TIMEOUT seconds] COMMAND command...)
# The test as add_test would make it when every program is found (look them
# up first with quenthaloy_find_tools to use their paths in the command);
# otherwise a test of that name that reports itself skipped, naming them.
function(quenthaloy_tool_test)
  cmake_parse_arguments(T "" "NAME;TIMEOUT" "NEEDS;COMMAND" ${ARGN})
  quenthaloy_find_tools(${T_NEEDS})
  quenthaloy_missing_tools(missing ${T_NEEDS})
  if(missing)
    string(REPLACE ";" ", " missing "${missing}")
    quenthaloy_skipped_test(${T_NAME} "${missing} not found (scripts/ensure-deps installs what the tests need)")
    message(STATUS "Test ${T_NAME} will report itself skipped: ${missing} not found")
    return()
  endif()
  add_test(NAME ${T_NAME} COMMAND ${T_COMMAND})
  if(T_TIMEOUT)
    set_tests_properties(${T_NAME} PROPERTIES TIMEOUT ${T_TIMEOUT})
  endif()
endfunction()
