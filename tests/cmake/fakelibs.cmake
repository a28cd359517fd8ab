# Fake libraries for the loader tests, each placed in a folder of its own so that a test can
# name that folder as the library folder:
#   fakelibs/noentries/  libswscale.so.<major> and libSDL2-2.0.so.0 exporting no entry point
#   fakelibs/wrongmajor/ libswscale.so.<major> exporting every scaling entry point the loader
#                        binds, whose version function reports the next major version
set(ORVANE_FAKELIBS ${CMAKE_BINARY_DIR}/tests/fakelibs)

set(ORVANE_SWS_MAJOR_LINE "")
foreach(dir ${FFHDR_libswscale_INCLUDEDIR} ${FFHDR_INCLUDE_DIRS} /usr/include/${CMAKE_LIBRARY_ARCHITECTURE} /usr/include)
  if(NOT ORVANE_SWS_MAJOR_LINE AND EXISTS ${dir}/libswscale/version_major.h)
    file(STRINGS ${dir}/libswscale/version_major.h ORVANE_SWS_MAJOR_LINE REGEX "#define LIBSWSCALE_VERSION_MAJOR")
  endif()
endforeach()
string(REGEX MATCH "[0-9]+" ORVANE_SWS_MAJOR "${ORVANE_SWS_MAJOR_LINE}")

# The scaling library's entry list, read from the entry point header (re-read when it changes).
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/media/ffapi.h)
file(READ ${CMAKE_SOURCE_DIR}/media/ffapi.h ORVANE_FFAPI_TEXT)
string(REGEX MATCH "#define ORV_SWSCALE_ENTRIES\\(F, V\\)[^\n]*\n([^\n]*\\\\\n)*[^\n]*" ORVANE_SWS_BLOCK
       "${ORVANE_FFAPI_TEXT}")
string(REGEX MATCHALL "F\\([A-Za-z0-9_]+\\)" ORVANE_SWS_ENTRIES "${ORVANE_SWS_BLOCK}")
set(ORVANE_FAKE_FUNCTIONS "")
foreach(entry ${ORVANE_SWS_ENTRIES})
  string(REGEX REPLACE "F\\(([A-Za-z0-9_]+)\\)" "\\1" fn "${entry}")
  if(NOT fn STREQUAL "swscale_version")
    string(APPEND ORVANE_FAKE_FUNCTIONS "void ${fn}(void) {}\n")
  endif()
endforeach()
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/fakelibs/wrong_major.c.in ${CMAKE_CURRENT_BINARY_DIR}/fake_wrong_major.c @ONLY)

function(orvane_fake_library target source folder base suffix)
  add_library(${target} SHARED ${source})
  target_include_directories(${target} SYSTEM PRIVATE ${FFHDR_INCLUDE_DIRS})
  set_target_properties(${target} PROPERTIES OUTPUT_NAME ${base} PREFIX "lib" SUFFIX ${suffix}
                        LIBRARY_OUTPUT_DIRECTORY ${ORVANE_FAKELIBS}/${folder})
  add_dependencies(test_loader ${target})
endfunction()

if(TARGET test_loader)
  orvane_fake_library(orvane_fake_swscale_noentries ${CMAKE_CURRENT_SOURCE_DIR}/fakelibs/no_entries.c
                      noentries swscale .so.${ORVANE_SWS_MAJOR})
  orvane_fake_library(orvane_fake_sdl_noentries ${CMAKE_CURRENT_SOURCE_DIR}/fakelibs/no_entries.c
                      noentries SDL2-2.0 .so.0)
  orvane_fake_library(orvane_fake_swscale_wrongmajor ${CMAKE_CURRENT_BINARY_DIR}/fake_wrong_major.c
                      wrongmajor swscale .so.${ORVANE_SWS_MAJOR})
  target_compile_definitions(test_loader PRIVATE ORVANE_FAKELIBS_DIR="${ORVANE_FAKELIBS}")
endif()
