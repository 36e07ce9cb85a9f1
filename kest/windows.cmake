# kest.dll: the exports get their names from module definitions written
# from the header (cmake/windows_exports.cmake); on 32-bit Windows the
# import library is made from the second definition, so that a caller
# compiled against kest.h finds the decorated names.
set(KEST_DECORATED_ONLY anova_tree gini_tree set_rand_seed tree_free tree_load tree_save tree_score waid_tree)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(kest_decorated 1)
else()
  set(kest_decorated 0)
endif()
set(kest_objects_file ${CMAKE_CURRENT_BINARY_DIR}/kest_objects.txt)
file(GENERATE OUTPUT ${kest_objects_file} CONTENT "$<TARGET_OBJECTS:kest_objects>")
set(kest_link_def ${CMAKE_CURRENT_BINARY_DIR}/kest.def)
set(kest_import_def ${CMAKE_CURRENT_BINARY_DIR}/kest-import.def)
string(JOIN "," kest_decorated_only ${KEST_DECORATED_ONLY})
add_custom_command(
  OUTPUT ${kest_link_def} ${kest_import_def}
  COMMAND ${CMAKE_COMMAND} -DHEADER=${CMAKE_CURRENT_SOURCE_DIR}/include/kest.h -DNM=${CMAKE_NM}
          -DOBJECTS_FILE=${kest_objects_file} -DDECORATED=${kest_decorated}
          -DDECORATED_ONLY=${kest_decorated_only} -DDLL=kest.dll
          -DLINK_DEF=${kest_link_def} -DIMPORT_DEF=${kest_import_def}
          -P ${PROJECT_SOURCE_DIR}/cmake/windows_exports.cmake
  DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/include/kest.h ${PROJECT_SOURCE_DIR}/cmake/windows_exports.cmake
          ${kest_objects_file} $<TARGET_OBJECTS:kest_objects>
  COMMENT "Writing the module definitions of kest.dll"
  VERBATIM)
target_sources(kest PRIVATE ${kest_link_def})
if(kest_decorated)
  add_custom_command(TARGET kest POST_BUILD
    COMMAND ${CMAKE_DLLTOOL} -d ${kest_import_def} -D kest.dll -l $<TARGET_LINKER_FILE:kest>
    COMMENT "Writing the import library of kest.dll"
    VERBATIM)
endif()
