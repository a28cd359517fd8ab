# A German locale (decimal comma) compiled into the build folder for the byte-size text test;
# the test skips its locale case when localedef is not available.
find_program(ORVANE_LOCALEDEF localedef)
if(TARGET test_utils)
  set(ORVANE_TEST_LOCALES ${CMAKE_BINARY_DIR}/tests/locales)
  target_compile_definitions(test_utils PRIVATE ORVANE_TEST_LOCALES="${ORVANE_TEST_LOCALES}")
  if(ORVANE_LOCALEDEF)
    # localedef exits non-zero on mere warnings; the test checks that the locale loads.
    add_custom_command(
      OUTPUT ${ORVANE_TEST_LOCALES}/de_DE.UTF-8/LC_NUMERIC
      COMMAND ${CMAKE_COMMAND} -E make_directory ${ORVANE_TEST_LOCALES}
      COMMAND sh -c "'${ORVANE_LOCALEDEF}' -i de_DE -f UTF-8 '${ORVANE_TEST_LOCALES}/de_DE.UTF-8' || true"
      COMMENT "Compiling the de_DE test locale")
    add_custom_target(orvane_test_locales DEPENDS ${ORVANE_TEST_LOCALES}/de_DE.UTF-8/LC_NUMERIC)
    add_dependencies(test_utils orvane_test_locales)
  endif()
endif()
