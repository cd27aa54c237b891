// What distinguishes the two deliverables: each is linked with its own copy of these
// constants (build_constants.cpp compiled with TIVREL_PORT set to 1 or 2).
#pragma once

extern const char BuildPortName[];   // "Com1:" / "Com2:"
extern const char BuildPortMode[];   // "baud=4800 parity=n data=8 stop=1"
extern const char BuildTitle[];      // returned by titre
extern const char BuildDetail[];     // returned by detail
