// Load and unload of the library, called from the platform's entry point.
#pragma once

// At load: meter state to its start values, the build's port settings, open the port.
// Nothing here can fail the load.
void LibraryStart();

// At unload. When the library is being unloaded from a running process the port is closed,
// so that loading the library again can open it; when the whole process is ending the
// operating system releases it.
void LibraryStop(bool processEnding);
