# The library's nine exports, the one list of them: name, ordinal in both
# DLLs, and how many arguments each takes (every one a 32-bit integer, so a
# stdcall export removes 4 bytes per argument). The .def files are checked
# against it when the DLLs build, and the exports, the public header and the
# tests' tables by the exports.list test (cmake/check-exports.cmake); the
# export_table test reads it to check the built DLLs.
set(QUENTHALOY_EXPORTS
  # name                    ordinal  arguments
  AddThreadResource         1        0
  CloseThreadResource       2        1
  DeleteThreadResource      3        1
  GetThreadMessage          4        1
  OpenThreadResource        5        1
  OpenThreadResourceWithin  6        2
  SendThreadMessage         7        2
  SendThreadMessageAndWait  8        2
  WaitThreadMessage         9        1
)

# The same as three lists in step: QUENTHALOY_EXPORT_NAMES, _ORDINALS and
# _ARGUMENTS.
function(quenthaloy_split_exports)
  set(names "")
  set(ordinals "")
  set(arguments "")
  set(fields ${QUENTHALOY_EXPORTS})
  while(fields)
    list(POP_FRONT fields name ordinal count)
    list(APPEND names ${name})
    list(APPEND ordinals ${ordinal})
    list(APPEND arguments ${count})
  endwhile()
  set(QUENTHALOY_EXPORT_NAMES ${names} PARENT_SCOPE)
  set(QUENTHALOY_EXPORT_ORDINALS ${ordinals} PARENT_SCOPE)
  set(QUENTHALOY_EXPORT_ARGUMENTS ${arguments} PARENT_SCOPE)
endfunction()
quenthaloy_split_exports()

# quenthaloy_write_def(dll decorated file): the module-definition file of one
# DLL, from the list: its name, then each export at its ordinal, with its
# argument size (Name@N) when `decorated` (the stdcall build on x86, whose
# compiler decorates the names this way). Rewritten only when it changes.
function(quenthaloy_write_def dll decorated file)
  set(text "; ${dll}.dll's exports, written from cmake/exports.cmake.\nLIBRARY ${dll}.dll\nEXPORTS\n")
  foreach(name ordinal arguments IN ZIP_LISTS QUENTHALOY_EXPORT_NAMES QUENTHALOY_EXPORT_ORDINALS
                                              QUENTHALOY_EXPORT_ARGUMENTS)
    if(decorated)
      math(EXPR bytes "4 * ${arguments}")
      string(APPEND text "  ${name}@${bytes} @${ordinal}\n")
    else()
      string(APPEND text "  ${name} @${ordinal}\n")
    endif()
  endforeach()
  file(CONFIGURE OUTPUT ${file} CONTENT "${text}" @ONLY)
endfunction()
