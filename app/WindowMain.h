#pragma once
// The window front end: creates the application object, the main window (which runs the
// start-up check pass) and runs the event loop until the window closes.

// Returns the program's exit code. The program takes no arguments of its own besides those
// of the headless mode; any other (Qt's own options aside) is refused with the usage text
// on standard error and exit code 2, before any window or file is touched.
int RunWindow(int argc, char** argv);

// The application's name, desktop entry and icon, set once the application object exists.
void NameApplication();
