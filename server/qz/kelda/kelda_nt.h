// kelda's Windows service layer: the service of each instance, its start and stop with
// progress polling, its event-log source, and the one Service Control Manager connection.
// Everything here reaches Windows only through the platform interface (svcplatform.h), and raises
// Xkelda on failure.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Opens the manager connection on first use; later calls do nothing. A failed open is tried
// again by the next call.
void initWindowsServiceGlobals();

// Registers / removes the event-log source of a service (a missing key is not a failure).
void addEventViewerHooks(const char* serviceName, const char* messageFilePath);
void removeEventViewerHooks(const char* serviceName);

// Starts / stops a service and waits while it makes progress. The data directory is unused.
void qzStart(const char* dataDirectory, const char* serviceName);
void qzStop(const char* dataDirectory, const char* serviceName);
void controlQZWindowsService(const char* serviceName, uint32_t control);

// Creates a service under the first free numbered name; returns the name it got.
std::string createQZWindowsService(const char* name, const char* display, const char* commandLine,
                                   const char* account, const char* password, uint32_t access,
                                   uint32_t type, uint32_t start, uint32_t errorControl);
// Creates the instance's service and its event-log source; leaves the name in qz.servicename.
void qzCreateService(const char* name, const char* display, const char* commandLine,
                     const char* account, const char* password);

// Stops (best effort) and deletes a service; qzRemoveService also removes its event-log source.
void removeQZWindowsService(const char* name);
void qzRemoveService(const char* name);

// A service as the manager lists it: its name, display name, current state (the SERVICE_*
// state values) and command line.
struct InstalledService {
  std::string name, display, commandLine;
  uint32_t state;
};
// Every Win32 service of the machine, in the manager's order. Reads only.
std::vector<InstalledService> listQZWindowsServices();

// The event-log source of a service: false when it has none; else true, and its message file
// ("" when the source names none).
bool eventSourceMessageFile(const char* serviceName, std::string& messageFile);

// For tests: forgets the manager connection, as if the process had just started.
void resetWindowsServiceGlobalsForTesting();
