# The benchmark driver's smoke test runs the driver binary.
if(TARGET test_bench_driver)
  add_dependencies(test_bench_driver orvane-bench)
  target_compile_definitions(test_bench_driver PRIVATE ORVANE_BENCH_DRIVER="$<TARGET_FILE:orvane-bench>")
endif()
