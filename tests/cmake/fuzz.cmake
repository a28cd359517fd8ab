# Fuzz targets (libFuzzer) for the readers of outside input: the INI reader, the --batch file,
# the command line and the media probe. Only in a clang build with -DORVANE_FUZZ=ON, whose
# sources all carry the fuzzer's coverage marks and AddressSanitizer and UBSan; scripts/fuzz
# makes that build in build-fuzz/ and runs each target for a bounded time.
if(ORVANE_FUZZ)
  # The command line's sources but its main(), once for every target.
  file(GLOB ORVANE_FUZZ_CLI_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/cli/*.cpp)
  list(FILTER ORVANE_FUZZ_CLI_SOURCES EXCLUDE REGEX "/cli/main\\.cpp$")
  add_library(orvane_fuzz_cli STATIC ${ORVANE_FUZZ_CLI_SOURCES})
  target_link_libraries(orvane_fuzz_cli PUBLIC orvane_appcore)

  foreach(name ini batch args probe)
    add_executable(fuzz_${name} ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/fuzz_${name}.cpp)
    target_link_libraries(fuzz_${name} PRIVATE orvane_fuzz_cli)
    target_link_options(fuzz_${name} PRIVATE -fsanitize=fuzzer)
    set_target_properties(fuzz_${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
    add_dependencies(fuzz_${name} fuzz_seeds)
  endforeach()

  # The seed corpus, one folder per target in build-fuzz/fuzz-seeds.
  file(GLOB_RECURSE ORVANE_FUZZ_SEED_FILES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/seeds/*)
  add_custom_command(
    OUTPUT ${CMAKE_BINARY_DIR}/fuzz-seeds/.stamp
    COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/make-seeds.sh ${CMAKE_SOURCE_DIR} ${ORVANE_TEST_MEDIA} ${CMAKE_BINARY_DIR}/fuzz-seeds
    COMMAND ${CMAKE_COMMAND} -E touch ${CMAKE_BINARY_DIR}/fuzz-seeds/.stamp
    DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/make-seeds.sh ${ORVANE_FUZZ_SEED_FILES} ${CMAKE_SOURCE_DIR}/data/orvanepspformat.ini
            ${ORVANE_TEST_MEDIA}/.stamp
    COMMENT "Making the fuzzers' seed corpus")
  add_custom_target(fuzz_seeds DEPENDS ${CMAKE_BINARY_DIR}/fuzz-seeds/.stamp)
endif()
