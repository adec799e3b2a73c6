# Include rules that the build enforces. Every folder's headers are reached as
# "folder/name.h" through an include root of its own (a link in the build tree),
# and a target gets that root only by linking the folder's library: an include
# of a folder the target does not depend on fails to compile.
#
#   tarn_headers(TARGET FOLDER [FOLDER...])   FOLDER relative to the source root
#
# The roots are PUBLIC (INTERFACE for interface libraries), so they pass along
# the same links that the arrows allow.
function(tarn_headers target)
  get_target_property(_type ${target} TYPE)
  if(_type STREQUAL "INTERFACE_LIBRARY")
    set(_scope INTERFACE)
  else()
    set(_scope PUBLIC)
  endif()
  foreach(folder ${ARGN})
    string(REPLACE "/" "+" _key "${folder}")
    set(_root ${CMAKE_BINARY_DIR}/include/${_key})
    if(NOT EXISTS ${_root}/${folder})
      get_filename_component(_parent ${_root}/${folder} DIRECTORY)
      file(MAKE_DIRECTORY ${_parent})
      file(CREATE_LINK ${CMAKE_SOURCE_DIR}/${folder} ${_root}/${folder} SYMBOLIC)
    endif()
    target_include_directories(${target} ${_scope} ${_root})
    # Headers reached through the link name themselves as in the source tree.
    target_compile_options(${target} ${_scope} -fmacro-prefix-map=${_root}/=)
  endforeach()
endfunction()
