# Main-window cases whose outcome depends on a window manager (focus, activation, window
# geometry), run on Xvfb with openbox as well as offscreen.
orvane_add_desktop_test(MainWindow test_gui_mainwindow
  "MainWindowTest.TheListOpensUpwardInsideTheWindowWhicheverGroupsAreOpen:MainWindowTest.AddingFilesProgressClosesWhenTheBatchEnds:MainWindowTest.TheJobListHasTheKeyboardAtStart")
orvane_add_desktop_test(MainWindowRun test_gui_run
  "RunTest.TheJobListHasTheKeyboardAfterEveryRun:RunTest.AVanishedOutputFolderWarnsOnceAndTheBoxShowsTheFolderUsed")
orvane_add_desktop_test(SettingsDialog test_gui_dialogs
  "SettingsDialogTest.ARefusedOrCorrectedValueKeepsTheDialogOpen")
