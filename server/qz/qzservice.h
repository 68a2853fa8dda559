// The service glue: how a program that the service manager started (with -service) reports
// its state, as a Windows service reports to the Service Control Manager. Outside the service
// manager every call does nothing.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

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
// Stopped, just before the program ends. failureCode 0 is a clean stop; any other value is a
// failure code of the program's own, reported as ERROR_SERVICE_SPECIFIC_ERROR (1066) with it
// as the service-specific exit code.
void stopped(uint32_t failureCode);

// The event log: one entry in the Application log under the service's name, whose text is the
// message messageId of the product's message file (qzerrors.dll, ids in qzevents.h), its %1,
// %2, ... filled from inserts. On the POSIX stand-in the entry is a line appended to the file
// "events" in the service manager's state directory. True when the entry was written; false
// outside the service manager or when the event log refused it.
enum class EventType : uint16_t { error = 1, warning = 2, information = 4 };
bool reportEvent(EventType type, uint32_t messageId, const std::vector<std::string>& inserts);

}  // namespace service
}  // namespace qz
