# The layers the build enforces. Every source of a front end (the command line, the dialogs,
# the main window, the Qt controls) is preprocessed once more at build time by
# cmake/check_layers.cmake, with the codec libraries' and SDL's include folders added so that
# whatever it would reach shows. Its target is built only after all of its sources passed:
#   - no front-end source reaches the codec libraries' or SDL's headers;
#   - no dialog reaches a main-window header (app/*.h outside app/core/).
# A source is checked again when it or a header it reads changes.
#   orvane_check_layers(<name> <target> <rule> <sources>...)
# checks the sources with the target's include folders and definitions; rule "dialog" adds the
# main-window rule. The check's own target is orvane_layers_<name>.
function(orvane_check_layers name target rule)
  set(dir ${CMAKE_BINARY_DIR}/layers)
  set(flags ${dir}/${name}.flags)
  set(incs "$<TARGET_PROPERTY:${target},INCLUDE_DIRECTORIES>")
  set(defs "$<TARGET_PROPERTY:${target},COMPILE_DEFINITIONS>")
  set(codec_dirs ${FFHDR_INCLUDE_DIRS} ${SDLHDR_INCLUDE_DIRS})
  list(JOIN codec_dirs "\n-I" codec_incs)
  file(GENERATE OUTPUT ${flags} CONTENT
"-std=c++${CMAKE_CXX_STANDARD}
-fPIC
$<$<BOOL:${defs}>:-D$<JOIN:${defs},\n-D>>
$<$<BOOL:${incs}>:-I$<JOIN:${incs},\n-I>>
-I${codec_incs}
")
  set(stamps "")
  foreach(src ${ARGN})
    file(RELATIVE_PATH rel ${CMAKE_SOURCE_DIR} ${src})
    set(stamp ${dir}/${rel}.ok)
    add_custom_command(OUTPUT ${stamp}
      COMMAND ${CMAKE_COMMAND} -DCOMPILER=${CMAKE_CXX_COMPILER} -DFLAGS_FILE=${flags} -DSOURCE=${src}
              -DSOURCE_DIR=${CMAKE_SOURCE_DIR} -DRULE=${rule} -DSTAMP=${stamp}
              -P ${CMAKE_SOURCE_DIR}/cmake/check_layers.cmake
      DEPENDS ${src} ${flags} ${CMAKE_SOURCE_DIR}/cmake/check_layers.cmake
      DEPFILE ${stamp}.d
      COMMENT "Layer check of ${rel}"
      VERBATIM)
    list(APPEND stamps ${stamp})
  endforeach()
  add_custom_target(orvane_layers_${name} DEPENDS ${stamps})
  add_dependencies(${target} orvane_layers_${name})
endfunction()
