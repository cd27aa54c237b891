// Entry points of the shared object: run at dlopen and at dlclose (or process exit).
#include "driver/lifecycle.h"

__attribute__((constructor)) static void Load()
{
    LibraryStart();
}

// A destructor cannot tell dlclose from exit; closing the descriptor is harmless in both.
__attribute__((destructor)) static void Unload()
{
    LibraryStop(false);
}
