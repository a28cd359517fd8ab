# Dialog cases that depend on focus and event order, also run on Xvfb with a window manager.
orvane_add_desktop_test(TrimPreview test_gui_trim "TrimDialogTest.PreviewPlaysOnWithTheSeekBarFocusedAndAfterAClick")
orvane_add_desktop_test(WatermarkDelete test_gui_watermark "WatermarkDialogTest.DeletingARowShowsTheRemainingItemAndTheNextTouchKeepsIt")
