#pragma once
// The window front end: creates the application object, the main window (which runs the
// start-up check pass) and runs the event loop until the window closes.

// Returns the program's exit code. Hidden options for the scripts (not for users):
//   --autorun              press "Выполнить" once the window is up, report the longest
//                          gap between two event-loop passes on stderr and quit
//   --tick-all             tick every option check box first (a full run)
//   --screenshot-dir DIR   with --autorun: save images of the main window after the run
//                          and of the About window into DIR before quitting
int RunWindow(int argc, char** argv);
