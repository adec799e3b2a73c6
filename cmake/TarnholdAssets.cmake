# Turns models and scene documents into .thm files as part of a build.
#
#   list(APPEND CMAKE_MODULE_PATH /path/to/tarnexport/cmake)
#   include(TarnholdAssets)
#   thm_add_assets(game_assets
#     FILES models/hero.glb models/crate.obj scenes/level1.scene.json
#     [OUTPUT_DIRECTORY dir]      # default: ${CMAKE_CURRENT_BINARY_DIR}/assets
#     [OPTIONS --scale 2.54 ...]  # thmexport options, for every file
#     [CACHE dir-or-url]          # a team's shared cache; default: THMEXPORT_CACHE if set
#     [ALL])                      # build the target by default
#
# One command per file, so the build system's own parallelism, caching and
# remote execution carry the asset build. Each command writes a dependency
# file naming every file the export read (a glTF's buffers, an OBJ's .mtl), so
# a change to any of them rebuilds exactly that asset. The outputs keep the
# inputs' folders relative to the current source folder; each is named as
# thmexport names it (level1.scene.json -> level1.thm, hero.glb -> hero.thm).
#
# thmexport is THMEXPORT_EXECUTABLE when set, else found on the PATH; the
# plug-in is looked for beside it (or give --plugins DIR in OPTIONS). With a
# cache (cmake -DTHMEXPORT_CACHE=http://cache.example:8080/thm, or CACHE), an
# asset another machine already exported is fetched instead (docs/thmexport.md).

function(thm_add_assets target)
  cmake_parse_arguments(THM "ALL" "OUTPUT_DIRECTORY;CACHE" "FILES;OPTIONS" ${ARGN})
  if(NOT THM_FILES)
    message(FATAL_ERROR "thm_add_assets(${target}): no FILES given")
  endif()
  if(NOT THMEXPORT_EXECUTABLE)
    find_program(THMEXPORT_EXECUTABLE thmexport REQUIRED)
  endif()
  if(NOT THM_CACHE AND THMEXPORT_CACHE)
    set(THM_CACHE ${THMEXPORT_CACHE})
  endif()
  set(cache_options)
  if(THM_CACHE)
    set(cache_options --cache ${THM_CACHE})
  endif()
  if(NOT THM_OUTPUT_DIRECTORY)
    set(THM_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/assets)
  endif()
  if(NOT CMAKE_GENERATOR MATCHES "Ninja|Makefiles")
    message(WARNING "thm_add_assets: dependency files need a Ninja or Makefile generator; "
                    "files an asset reads besides itself will not trigger a rebuild")
  endif()

  set(outputs)
  foreach(file IN LISTS THM_FILES)
    get_filename_component(input ${file} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
    file(RELATIVE_PATH rel ${CMAKE_CURRENT_SOURCE_DIR} ${input})
    get_filename_component(rel_dir ${rel} DIRECTORY)
    get_filename_component(name ${input} NAME)
    # Named as thmexport names its outputs.
    if(name MATCHES "\\.[Ss][Cc][Ee][Nn][Ee]\\.[Jj][Ss][Oo][Nn]$")
      string(REGEX REPLACE "\\.[^.]+\\.[^.]+$" "" stem ${name})
    else()
      string(REGEX REPLACE "\\.[^.]+$" "" stem ${name})
    endif()
    if(rel_dir AND NOT rel_dir MATCHES "^\\.\\.")
      set(output ${THM_OUTPUT_DIRECTORY}/${rel_dir}/${stem}.thm)
    else()
      set(output ${THM_OUTPUT_DIRECTORY}/${stem}.thm)
    endif()
    get_filename_component(output_dir ${output} DIRECTORY)
    add_custom_command(
      OUTPUT ${output}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${output_dir}
      COMMAND ${THMEXPORT_EXECUTABLE} -q ${THM_OPTIONS} ${cache_options} ${input} -o ${output} --depfile ${output}.d
      DEPENDS ${input} ${THMEXPORT_EXECUTABLE}
      DEPFILE ${output}.d
      COMMENT "Exporting ${rel}"
      VERBATIM)
    list(APPEND outputs ${output})
  endforeach()
  if(THM_ALL)
    add_custom_target(${target} ALL DEPENDS ${outputs})
  else()
    add_custom_target(${target} DEPENDS ${outputs})
  endif()
  set_property(TARGET ${target} PROPERTY THM_OUTPUTS ${outputs})
endfunction()
