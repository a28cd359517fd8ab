# Frame-hook modules for the frame-hook tests, built into one folder of their own:
#   hook_no_process.so    Configure and Release, no Process
#   hook_no_configure.so  Process only
#   hook_tagged.so        instances tagged by their argument, releases recorded
# The test finds them, and the example box module, through compile definitions.
if(TARGET test_framehook)
  set(ORVANE_TEST_HOOKS ${CMAKE_BINARY_DIR}/tests/hooks)
  foreach(hook no_process no_configure tagged)
    add_library(orvane_test_hook_${hook} SHARED ${CMAKE_CURRENT_SOURCE_DIR}/hooks/${hook}.c)
    target_include_directories(orvane_test_hook_${hook} PRIVATE ${CMAKE_SOURCE_DIR})
    set_target_properties(orvane_test_hook_${hook} PROPERTIES OUTPUT_NAME hook_${hook} PREFIX ""
                          LIBRARY_OUTPUT_DIRECTORY ${ORVANE_TEST_HOOKS})
    add_dependencies(test_framehook orvane_test_hook_${hook})
  endforeach()
  add_dependencies(test_framehook orvane-hook-drawbox)
  target_compile_definitions(test_framehook PRIVATE
    ORVANE_TEST_HOOKS_DIR="${ORVANE_TEST_HOOKS}"
    ORVANE_DRAWBOX_MODULE="$<TARGET_FILE:orvane-hook-drawbox>")
endif()
