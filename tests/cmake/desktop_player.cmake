# The desktop program closing on SIGTERM and SIGINT with players open, also on a real X server
# with a window manager.
orvane_add_desktop_test(QuitSignals test_gui_quitsignal "QuitSignal.*")
