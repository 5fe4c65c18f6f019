#pragma once

#include <string>

namespace ravelin {

/// The window's module, and the function in it that runs the window with main's arguments.
inline constexpr const char* kWindowModuleName = "ravelin-window.so";
inline constexpr const char* kWindowEntryName = "RavelinWindowMain";
using WindowEntry = int(int argc, char** argv);

/// Where the window's module is: beside the program (a build tree), or in the installed tree's
/// lib/ravelin beside its bin.
std::string WindowModulePath();

/// Loads the window's module and runs the window with main's arguments; its exit status. A
/// module that cannot be loaded is said on standard error, with status 1.
int RunWindowModule(int argc, char** argv);

}  // namespace ravelin
