// SIGTERM and SIGINT (a session logout, a system shutdown, Ctrl+C in a
// terminal) close the main window the way its close button does, so that
// FormClose disconnects and saves the settings before the program ends.
#pragma once

class QWidget;

// Puts our handlers for SIGTERM and SIGINT in place and routes what they
// catch to window->close() through the event loop; while a handler of the
// window runs (a dictionary build), the close waits until it has returned.
// An open message box is closed as if its OK were pressed.
// The window is not owned; a window destroyed meanwhile is not closed. Call
// it again once the client library has attached for the first time: the
// library then installs handlers of its own over ours (TerminationSignals.cpp
// says how), and calling again puts ours back. No effect on Windows.
void InstallTerminationSignals(QWidget* window);
