# Writes the module definitions of kest.dll from the public header, which
# lists every export once (as KEST_API ... KEST_CALL name).  Run as a script:
#   cmake -DHEADER=kest.h -DNM=nm -DOBJECTS_FILE=objects.txt -DDECORATED=1
#         -DDECORATED_ONLY=a,b -DDLL=kest.dll -DLINK_DEF=out.def
#         -DIMPORT_DEF=import.def -P windows_exports.cmake
#
# With DECORATED (32-bit Windows, where the exports are __stdcall) each
# export is named like the convention's names in other compilers' libraries,
# _name@bytes, the bytes taken from the symbol the compiler gave the
# function; the names in DECORATED_ONLY have that name only, every other
# export also its plain name.  LINK_DEF gives the linker these names;
# IMPORT_DEF (for dlltool) makes an import library that binds a caller
# compiled against the header (which refers to name@bytes) to the decorated
# export.  Without DECORATED every export has its plain name only.
cmake_minimum_required(VERSION 3.20)
include("${CMAKE_CURRENT_LIST_DIR}/declared_exports.cmake")
kest_declared_exports("${HEADER}" names)
list(LENGTH names count)
if(count EQUAL 0)
  message(FATAL_ERROR "no exports declared in ${HEADER}")
endif()

set(link_def "LIBRARY ${DLL}\nEXPORTS\n")
set(import_def "LIBRARY ${DLL}\nEXPORTS\n")
if(NOT DECORATED)
  foreach(name IN LISTS names)
    string(APPEND link_def "  ${name}\n")
    string(APPEND import_def "  ${name}\n")
  endforeach()
else()
  file(READ "${OBJECTS_FILE}" objects)
  string(STRIP "${objects}" objects)
  execute_process(COMMAND ${NM} --defined-only -g ${objects}
                  OUTPUT_VARIABLE symbols RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "${NM} failed on the objects of ${DLL}")
  endif()
  string(REPLACE "," ";" decorated_only "${DECORATED_ONLY}")
  foreach(name IN LISTS names)
    # The compiler names a __stdcall function _name@bytes.
    string(REGEX MATCH " T _${name}@([0-9]+)\n" symbol "${symbols}")
    if(NOT symbol)
      message(FATAL_ERROR "${name} is declared in ${HEADER} but no __stdcall definition of it was compiled")
    endif()
    set(internal "${name}@${CMAKE_MATCH_1}")
    string(APPEND link_def "  _${internal} = ${internal}\n")
    if(NOT name IN_LIST decorated_only)
      string(APPEND link_def "  ${name} = ${internal}\n")
    endif()
    string(APPEND import_def "  ${internal} == _${internal}\n")
  endforeach()
endif()
file(WRITE "${LINK_DEF}" "${link_def}")
file(WRITE "${IMPORT_DEF}" "${import_def}")
