#pragma once

namespace Vesk {

// The whole life of the program: single-instance check, controller, window, log, first run, interface, event
// loop. Returns the process exit code.
int runApplication(int argc, char** argv);

} // namespace Vesk
