# The example asset build, configured and built as a game's build would be:
# everything exported once, nothing on a second build, and only the glTF
# again when the buffer it reads changes.
#   cmake -DSOURCE=... -DWORK=... -DTHMEXPORT=... -DTARNEXPORT_DIR=... -P asset_build_test.cmake
file(REMOVE_RECURSE ${WORK})
file(COPY ${SOURCE}/ DESTINATION ${WORK}/src)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${ARGN} failed (${rc}):\n${out}${err}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()

run(${CMAKE_COMMAND} -S ${WORK}/src -B ${WORK}/build -G Ninja -DTHMEXPORT_EXECUTABLE=${THMEXPORT}
    -DTARNEXPORT_DIR=${TARNEXPORT_DIR})
run(${CMAKE_COMMAND} --build ${WORK}/build)
foreach(f assets/scenes/lamp.thm assets/models/crate.thm)
  if(NOT EXISTS ${WORK}/build/${f})
    message(FATAL_ERROR "${f} was not built:\n${out}")
  endif()
endforeach()
run(${CMAKE_COMMAND} --build ${WORK}/build)
if(NOT out MATCHES "no work to do")
  message(FATAL_ERROR "a second build did work:\n${out}")
endif()
file(APPEND ${WORK}/src/models/crate.bin "\n")
run(${CMAKE_COMMAND} --build ${WORK}/build)
if(NOT out MATCHES "Exporting models/crate.gltf" OR out MATCHES "lamp")
  message(FATAL_ERROR "a changed buffer rebuilt the wrong assets:\n${out}")
endif()
