# Checks one front-end source (cmake -P, run by cmake/layers.cmake at build time): it is
# preprocessed with the codec libraries' and SDL's include folders on the search path, so
# that every header it would reach shows, and the build stops when it reaches
#   - a header of the codec libraries or SDL (front ends use the library-free headers of
#     media/ and engine/: media/textutils.h, media/loader.h, engine/engine.h, ...), or
#   - with RULE "dialog", a main-window header: app/*.h outside app/core/.
# Arguments: COMPILER, FLAGS_FILE (a response file with the target's include folders and
# definitions), SOURCE, SOURCE_DIR, RULE (cli or dialog), STAMP (written when the source
# passes; STAMP.d lists the headers read, so the check runs again when one changes).
get_filename_component(stamp_dir ${STAMP} DIRECTORY)
file(MAKE_DIRECTORY ${stamp_dir})
execute_process(
  COMMAND ${COMPILER} @${FLAGS_FILE} -E -H -MD -MF ${STAMP}.d -MT ${STAMP} -o /dev/null ${SOURCE}
  RESULT_VARIABLE status
  ERROR_VARIABLE tree)
file(RELATIVE_PATH shown ${SOURCE_DIR} ${SOURCE})
if(NOT status EQUAL 0)
  message(FATAL_ERROR "Layer check: ${shown} does not preprocess:\n${tree}")
endif()

# -H prints each header read as one line: one dot per inclusion depth, then the path.
string(REPLACE ";" "\\;" tree "${tree}")
string(REPLACE "\n" ";" lines "${tree}")
set(chain "")   # the headers open at the current depth: chain[i] is at depth i + 1
set(problems "")
foreach(line IN LISTS lines)
  if(NOT line MATCHES "^(\\.+) (.+)$")
    continue()
  endif()
  string(LENGTH "${CMAKE_MATCH_1}" depth)
  set(header "${CMAKE_MATCH_2}")
  list(LENGTH chain open)
  while(open GREATER_EQUAL depth)
    list(POP_BACK chain)
    list(LENGTH chain open)
  endwhile()
  list(APPEND chain "${header}")
  set(what "")
  if(header MATCHES "/(libavcodec|libavdevice|libavfilter|libavformat|libavutil|libswresample|libswscale)/"
     OR header MATCHES "/SDL2/")
    set(what "the codec libraries' or SDL's headers")
  elseif(RULE STREQUAL "dialog" AND header MATCHES "^${SOURCE_DIR}/app/[^/]+\\.h$")
    set(what "a main-window header (dialogs use app/core/ only)")
  endif()
  if(what)
    # The way in: the source's own include at depth 1, down to the offending header.
    set(path "${shown}")
    foreach(step IN LISTS chain)
      string(REPLACE "${SOURCE_DIR}/" "" step "${step}")
      string(APPEND path " -> ${step}")
    endforeach()
    list(FIND problems "${what}" seen)
    if(seen EQUAL -1)
      list(APPEND problems "${what}")
      string(APPEND report "\n  ${shown} reaches ${what}:\n    ${path}")
    endif()
  endif()
endforeach()
if(problems)
  message(FATAL_ERROR "Layer check failed:${report}\n")
endif()
file(WRITE ${STAMP} "")
