# Checks the export tables of the DLLs (objdump -p) against the rules for
# their names, and that each DLL needs nothing but system DLLs and the
# system's own DLLs.  Run as a script:
#   cmake -DOBJDUMP=... -DBIN=dir -DHEADER=kest.h -DDECORATED=0|1 -P check_exports.cmake
cmake_minimum_required(VERSION 3.20)

# Exported under the decorated name only; every other export of kest.dll
# under both names.
set(decorated_only anova_tree gini_tree set_rand_seed tree_free tree_load tree_save tree_score waid_tree)
set(system_dlls KERNEL32.dll msvcrt.dll USER32.dll ADVAPI32.dll)

set(failures "")
macro(fail text)
  string(APPEND failures "${text}\n")
endmacro()

# The export names of a DLL, sorted, and the DLLs it imports from.
function(read_table dll names_out imports_out)
  execute_process(COMMAND ${OBJDUMP} -p ${BIN}/${dll} OUTPUT_VARIABLE table RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "objdump cannot read ${BIN}/${dll}")
  endif()
  # The names follow the line "[Ordinal/Name Pointer] Table", one a line
  # as "[   3] name", up to an empty line.
  string(REPLACE ";" "," table "${table}")
  string(REPLACE "\n" ";" lines "${table}")
  set(names)
  set(in_table FALSE)
  foreach(line IN LISTS lines)
    if(line MATCHES "Ordinal/Name Pointer")
      set(in_table TRUE)
    elseif(in_table AND line MATCHES "^[ \t]*\\[ *[0-9]+\\] (.+)$")
      list(APPEND names "${CMAKE_MATCH_1}")
    elseif(in_table)
      set(in_table FALSE)
    endif()
  endforeach()
  list(SORT names)
  string(REGEX MATCHALL "DLL Name: [^\n]+" imported "${table}")
  list(TRANSFORM imported REPLACE "DLL Name: " "")
  set(${names_out} "${names}" PARENT_SCOPE)
  set(${imports_out} "${imported}" PARENT_SCOPE)
endfunction()

function(expect_names dll expected actual)
  list(SORT expected)
  if(NOT "${expected}" STREQUAL "${actual}")
    set(missing ${expected})
    list(REMOVE_ITEM missing ${actual})
    set(extra ${actual})
    list(REMOVE_ITEM extra ${expected})
    set(failures "${failures}${dll}: exports missing: ${missing}; exports not expected: ${extra}\n" PARENT_SCOPE)
  endif()
endfunction()

function(expect_imports dll allowed actual)
  foreach(imported IN LISTS actual)
    if(NOT imported IN_LIST allowed)
      set(failures "${failures}${dll} needs ${imported}\n" PARENT_SCOPE)
    endif()
  endforeach()
endfunction()

# kest.dll: the exports the header declares.
include("${CMAKE_CURRENT_LIST_DIR}/../../cmake/declared_exports.cmake")
kest_declared_exports("${HEADER}" declared)
list(LENGTH declared declared_count)
if(declared_count LESS 25)
  fail("kest.h declares only ${declared_count} exports")
endif()

read_table(kest.dll kest_names kest_imports)
set(expected)
foreach(name IN LISTS declared)
  if(DECORATED)
    # _name@bytes, bytes a multiple of 4; the table itself gives the number,
    # which the loading test checks against the argument types.
    set(found ${kest_names})
    list(FILTER found INCLUDE REGEX "^_${name}@[0-9]+$")
    list(LENGTH found found_count)
    if(NOT found_count EQUAL 1)
      fail("kest.dll: ${found_count} decorated exports of ${name}")
      continue()
    endif()
    string(REGEX MATCH "[0-9]+$" bytes "${found}")
    math(EXPR remainder "${bytes} % 4")
    if(NOT remainder EQUAL 0)
      fail("kest.dll: ${found} has an argument size that is no multiple of 4")
    endif()
    list(APPEND expected ${found})
    if(NOT name IN_LIST decorated_only)
      list(APPEND expected ${name})
    endif()
  else()
    list(APPEND expected ${name})
  endif()
endforeach()
if(DECORATED AND NOT "_waid_tree@88" IN_LIST kest_names)
  fail("kest.dll does not export _waid_tree@88")
endif()
expect_names(kest.dll "${expected}" "${kest_names}")
expect_imports(kest.dll "${system_dlls}" "${kest_imports}")

read_table(brindle.dll names imports)
expect_names(brindle.dll "TAV_IMPUTATION;TAV_WAID_WRAPPER" "${names}")
expect_imports(brindle.dll "${system_dlls};kest.dll" "${imports}")

read_table(quillon.dll names imports)
expect_names(quillon.dll "TAV_IMPUTATION;TAV_TSSOM_WRAPPER" "${names}")
expect_imports(quillon.dll "${system_dlls};kest.dll" "${imports}")

read_table(krt.dll names imports)
expect_names(krt.dll
  "create_new_frame;get_field_ptr;krt_insert_ffield;krt_insert_ifield;krt_insert_sfield;run_KRT_command" "${names}")
expect_imports(krt.dll "${system_dlls}" "${imports}")

foreach(program krtdemo.exe kest.exe)
  read_table(${program} names imports)
  expect_imports(${program} "${system_dlls};kest.dll;brindle.dll;quillon.dll" "${imports}")
endforeach()

if(failures)
  message(FATAL_ERROR "${failures}")
endif()
message(STATUS "export tables as expected (${declared_count} exports of kest.dll)")
