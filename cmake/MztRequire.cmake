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
