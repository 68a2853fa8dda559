// Test hooks of the service layer.
#pragma once

// Forgets the manager connection, as if the process had just started.
void resetWindowsServiceGlobalsForTesting();
