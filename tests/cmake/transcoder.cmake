# The conversion tests load the example box module through the "vhook" option.
if(TARGET test_transcoder AND TARGET orvane-hook-drawbox)
  add_dependencies(test_transcoder orvane-hook-drawbox)
  target_compile_definitions(test_transcoder PRIVATE ORVANE_DRAWBOX_MODULE="$<TARGET_FILE:orvane-hook-drawbox>")
endif()
