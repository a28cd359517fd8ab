# The front ends' view of the engine: a translation unit that includes every public header of
# the engine, the probe, the loader, the text routines, the application core and the renderer
# must compile without the codec libraries' and SDL's headers (cmake/layers.cmake checks the
# front ends' sources themselves). The unit is built with the source folder as its only
# include folder and fails with an error when any of those headers came in anyway (they sit
# in the compiler's default search path on Debian, so their guards are what is checked).
file(GLOB ORVANE_FRONTEND_HEADERS CONFIGURE_DEPENDS
  ${CMAKE_SOURCE_DIR}/engine/*.h
  ${CMAKE_SOURCE_DIR}/app/core/*.h
  ${CMAKE_SOURCE_DIR}/render/*.h
  ${CMAKE_SOURCE_DIR}/media/player.h
  ${CMAKE_SOURCE_DIR}/media/probe.h
  ${CMAKE_SOURCE_DIR}/media/bitmap.h
  ${CMAKE_SOURCE_DIR}/media/errors.h
  ${CMAKE_SOURCE_DIR}/media/logger.h
  ${CMAKE_SOURCE_DIR}/media/loader.h
  ${CMAKE_SOURCE_DIR}/media/encoders.h
  ${CMAKE_SOURCE_DIR}/media/textutils.h)
list(SORT ORVANE_FRONTEND_HEADERS)
set(ORVANE_FRONTEND_INCLUDES "")
foreach(header ${ORVANE_FRONTEND_HEADERS})
  file(RELATIVE_PATH rel ${CMAKE_SOURCE_DIR} ${header})
  string(APPEND ORVANE_FRONTEND_INCLUDES "#include \"${rel}\"\n")
endforeach()
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/tests/frontend_headers.cpp CONTENT [=[
// Generated: every public header a front end includes, without the codec libraries.
@ORVANE_FRONTEND_INCLUDES@
#if defined(AVCODEC_AVCODEC_H) || defined(AVFORMAT_AVFORMAT_H) || defined(AVUTIL_AVUTIL_H) || \
    defined(AVUTIL_FRAME_H) || defined(SWSCALE_SWSCALE_H) || defined(AVFILTER_AVFILTER_H) || defined(SDL_h_)
#error "A front-end header pulls in the codec libraries' or SDL's headers"
#endif
int OrvaneFrontendHeadersCompile() { return 0; }
]=] @ONLY)
add_library(orvane_frontend_headers OBJECT ${CMAKE_BINARY_DIR}/tests/frontend_headers.cpp)
set_target_properties(orvane_frontend_headers PROPERTIES INCLUDE_DIRECTORIES "${CMAKE_SOURCE_DIR}")
