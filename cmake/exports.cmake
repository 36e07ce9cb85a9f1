# kest_export_only(TARGET SCRIPT [HEADER FILE MACRO NAME]): the shared
# library TARGET exports exactly the symbols that the linker version script
# SCRIPT lists under "global:"; "local: *;" hides everything else, the
# template instantiations of the standard library included.  Left to
# themselves those would be exported, could be bound to another library's
# copies, and (GNU-unique ones) would keep the library from ever being
# unloaded.  The script is the one list of the library's exports; the
# export tests compare it with the library's dynamic symbol table and, when
# HEADER is given, with the functions that header declares with MACRO.
#
# Windows linkers take no version script; that build lists its exports in a
# module-definition file instead.
function(kest_export_only target script)
  cmake_parse_arguments(PARSE_ARGV 2 arg "" "HEADER;MACRO" "")
  set(script ${CMAKE_CURRENT_SOURCE_DIR}/${script})
  set_property(TARGET ${target} PROPERTY KEST_EXPORT_SCRIPT ${script})
  if(arg_HEADER)
    set_property(TARGET ${target} PROPERTY KEST_EXPORT_HEADER ${CMAKE_CURRENT_SOURCE_DIR}/${arg_HEADER})
    set_property(TARGET ${target} PROPERTY KEST_EXPORT_MACRO ${arg_MACRO})
  endif()
  if(NOT WIN32)
    target_link_options(${target} PRIVATE "LINKER:--version-script=${script}")
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${script})
  endif()
endfunction()
