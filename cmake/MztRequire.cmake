# mzt_require_targets(<part> <target>...)
#
# Every folder is added in a fixed order, each after the ones it builds on, so
# a target that a part needs is always there unless the tree is broken (a
# folder missing, the order changed). Stop the configuration then, naming what
# is missing, rather than leave the part out of the build unnoticed.
function(mzt_require_targets part)
  foreach(target ${ARGN})
    if(NOT TARGET ${target})
      message(FATAL_ERROR
        "${part} needs the target ${target}, which no folder defined: "
        "its folder is missing or added after ${part} in the top CMakeLists.txt")
    endif()
  endforeach()
endfunction()

# mzt_layer_library(<name> SOURCES <file>... [BELOW <target>...]
#                   [LINK <library>...] [PRIVATE <library>...])
#
# A folder's own library: its sources, the folder on the include path of
# every part that links it, and the layers BELOW it that it builds on, each
# of which must already be defined. LINK names the other libraries its users
# see too (Qt), PRIVATE the ones they never see.
function(mzt_layer_library name)
  cmake_parse_arguments(A "" "" "SOURCES;BELOW;LINK;PRIVATE" ${ARGN})
  mzt_require_targets(${name} ${A_BELOW})
  add_library(${name} STATIC ${A_SOURCES})
  target_include_directories(${name} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${A_BELOW} ${A_LINK} PRIVATE ${A_PRIVATE})
endfunction()

# mzt_add_child_folders([FIRST <folder>...])
#
# Adds every child folder of the current one that has a CMakeLists.txt, in
# name order, the FIRST ones before the others (helpers the others link).
function(mzt_add_child_folders)
  cmake_parse_arguments(A "" "" "FIRST" ${ARGN})
  file(GLOB children RELATIVE ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/*)
  list(SORT children)
  if(A_FIRST)
    list(REMOVE_ITEM children ${A_FIRST})
    list(PREPEND children ${A_FIRST})
  endif()
  foreach(child ${children})
    if(IS_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/${child}
       AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${child}/CMakeLists.txt)
      add_subdirectory(${child})
    endif()
  endforeach()
endfunction()
