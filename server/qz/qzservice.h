// The service glue: how a program that the service manager started (with -service) reports
// its state, as a Windows service reports to the Service Control Manager. Outside the service
// manager every call does nothing.
#pragma once

#include <cstdint>

namespace qz {
namespace service {

// Called once at start, before anything slow, by a program that may run as a service: under
// the service manager it connects to it and reports start pending. onStop is called, possibly
// from another thread, when the service manager asks the service to stop (on POSIX the stop
// arrives as SIGTERM instead, which the program handles itself).
void begin(void (*onStop)());

// True when the program runs under the service manager.
bool active();
// Start pending; raise checkPoint as start-up makes progress.
void starting(uint32_t checkPoint, uint32_t waitHintMs);
// Running: the program serves.
void running();
// Stop pending, after a stop was asked for.
void stopping(uint32_t checkPoint, uint32_t waitHintMs);
// Stopped, just before the program ends.
void stopped(uint32_t exitCode);

}  // namespace service
}  // namespace qz
