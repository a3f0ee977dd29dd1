#pragma once
// The window front end: creates the application object, the main window (which runs the
// start-up check pass) and runs the event loop until the window closes.

// Returns the program's exit code. Hidden options for the screenshot script:
//   --screenshot-dir DIR   run once on the folder field's value, save main and About
//                           window images into DIR and quit
//   --folder DIR           put DIR into the folder field before the start-up check pass
int RunWindow(int argc, char** argv);
