# Checks the files that spell out the nine exports against their one list,
# cmake/exports.cmake, and fails naming every file that differs.
#   cmake -DSOURCE_DIR=<source tree> -DCHECK=all -P check-exports.cmake
#     the exports, the public header and the tests' tables (the
#     exports.list test). The DLLs' .def files are written from the list.
# Each file must name exactly the listed functions, each with its listed
# number of int32_t arguments, and the tests' tables must keep the list's
# order.
cmake_minimum_required(VERSION 3.20)
if(NOT SOURCE_DIR OR NOT CHECK STREQUAL "all")
  message(FATAL_ERROR "usage: cmake -DSOURCE_DIR=<source tree> -DCHECK=all -P check-exports.cmake")
endif()
include(${CMAKE_CURRENT_LIST_DIR}/exports.cmake)

set(problems "")
macro(problem text)
  string(APPEND problems "\n  ${text}")
endmacro()

# "name/arguments" for each listed export, in the list's order.
set(listed "")
foreach(name arguments IN ZIP_LISTS QUENTHALOY_EXPORT_NAMES QUENTHALOY_EXPORT_ARGUMENTS)
  list(APPEND listed "${name}/${arguments}")
endforeach()
set(listed_sorted ${listed})
list(SORT listed_sorted)

# How many int32_t arguments a C parameter list holds ("void" or "" for none);
# -1 if any parameter is of another type.
function(count_arguments parameters out)
  string(STRIP "${parameters}" parameters)
  if(parameters STREQUAL "" OR parameters STREQUAL "void")
    set(${out} 0 PARENT_SCOPE)
    return()
  endif()
  string(REPLACE "," ";" parameters "${parameters}")
  set(count 0)
  foreach(parameter ${parameters})
    string(STRIP "${parameter}" parameter)
    if(NOT parameter MATCHES "^int32_t( [a-z_]+)?$")
      set(${out} -1 PARENT_SCOPE)
      return()
    endif()
    math(EXPR count "${count} + 1")
  endforeach()
  set(${out} ${count} PARENT_SCOPE)
endfunction()

# Reads FILE, finds every match of PATTERN (which must not match a ";", the
# list separator) (whose first group is the name and
# second the parameter list, or the argument count if NUMBERED) and compares
# the "name/arguments" found with the list: in order if ORDERED, else as sets.
function(check_declarations file pattern)
  cmake_parse_arguments(C "ORDERED;NUMBERED" "" "" ${ARGN})
  file(READ ${SOURCE_DIR}/${file} text)
  string(REGEX MATCHALL "${pattern}" matches "${text}")
  set(found "")
  foreach(match ${matches})
    string(REGEX MATCH "${pattern}" match "${match}")
    set(count ${CMAKE_MATCH_2})
    if(NOT C_NUMBERED)
      count_arguments("${CMAKE_MATCH_2}" count)
    endif()
    list(APPEND found "${CMAKE_MATCH_1}/${count}")
  endforeach()
  set(expected ${listed})
  if(NOT C_ORDERED)
    list(SORT found)
    set(expected ${listed_sorted})
  endif()
  if(NOT found STREQUAL expected)
    string(REPLACE ";" " " found "${found}")
    string(REPLACE ";" " " expected "${expected}")
    set(problems "${problems}\n  ${file}: name/arguments are\n    ${found}\n  expected\n    ${expected}" PARENT_SCOPE)
  endif()
endfunction()

  set(name "([A-Za-z]+)")
  check_declarations(shell/exports.cpp "int32_t QUENTHALOY_CALL ${name}\\(([^)]*)\\)")
  check_declarations(include/quenthaloy.h "QUENTHALOY_API int32_t QUENTHALOY_CALL ${name}\\(([^)]*)\\)")
  check_declarations(include/quenthaloy.h "typedef int32_t\\(QUENTHALOY_CALL\\* Quenthaloy${name}Fn\\)\\(([^)]*)\\)")
  # Each of the header's function-pointer types is assigned its prototype
  # (names only: the compiler checks the types).
  file(READ ${SOURCE_DIR}/tests/header_check.c text)
  string(REGEX MATCHALL "Quenthaloy[A-Za-z]+Fn check_[a-z_]+ = [A-Za-z]+" checks "${text}")
  set(checked "")
  foreach(check ${checks})
    string(REGEX MATCH "Quenthaloy([A-Za-z]+)Fn check_[a-z_]+ = ([A-Za-z]+)" check "${check}")
    if(NOT CMAKE_MATCH_1 STREQUAL CMAKE_MATCH_2)
      problem("tests/header_check.c: Quenthaloy${CMAKE_MATCH_1}Fn is checked against ${CMAKE_MATCH_2}")
    endif()
    list(APPEND checked ${CMAKE_MATCH_1})
  endforeach()
  list(SORT checked)
  set(names_sorted ${QUENTHALOY_EXPORT_NAMES})
  list(SORT names_sorted)
  if(NOT checked STREQUAL names_sorted)
    problem("tests/header_check.c checks ${checked}, expected ${names_sorted}")
  endif()
  # The tests' typed table of the loaded library and their table of names
  # and argument counts, both in the list's order.
  check_declarations(tests/support/library.h "int32_t \\(\\*${name}\\)\\(([^)]*)\\)" ORDERED)
  check_declarations(tests/support/library.cpp "{\"${name}\", ([0-9]+)}" ORDERED NUMBERED)

if(problems)
  message(FATAL_ERROR "The exports differ from cmake/exports.cmake:${problems}")
endif()
message(STATUS "The exports match cmake/exports.cmake (checked: ${CHECK})")
