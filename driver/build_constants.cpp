// Texts are Windows-1252: \xE8 is the e grave of "phm\xE8tre".
#include "driver/build.h"

#if TIVREL_PORT == 1
#define PORT_DIGIT "1"
#elif TIVREL_PORT == 2
#define PORT_DIGIT "2"
#else
#error "TIVREL_PORT must be 1 or 2"
#endif

const char BuildPortName[] = "Com" PORT_DIGIT ":";
const char BuildPortMode[] = "baud=4800 parity=n data=8 stop=1";
const char BuildTitle[] = "phm\xE8tre Handylab2 en Com" PORT_DIGIT ":";
const char BuildDetail[] =
    "DLL pour phm\xE8tre Schott Handylab2 en com" PORT_DIGIT ":, par Vosquet, le 23 janvier 2003";
