#pragma once

#include <functional>

class TForm2;

// The installer from start to end: the application object, the one-copy lock,
// the window and its terms dialog, then the event loop; returns the exit code.
// AOnWindow, when given, gets the window just before it is shown (the start
// benchmark watches for its first paint there).
int RunInstaller(int& AArgc, char** AArgv, const std::function<void(TForm2&)>& AOnWindow = {});
