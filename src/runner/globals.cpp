// Configuration record and exported globals of the mission runner.
#include "kelvex/runner.h"

extern "C" {

KELVEX_API Global G = {
    -1,      // fd
    5,       // retries
    30,      // timeout
    115200,  // baud
    0,       // flow_type
    1.5f,    // charge
    60.0f,   // current
    150.0f,  // fRaspberryConsumption
    4567,    // buzz_port
    nullptr, // buzz_server
};

KELVEX_API int debug = 0;
KELVEX_API int ncells = 8;
KELVEX_API char* ftp_path = nullptr;
KELVEX_API int donotpollsunbattery = 0;
KELVEX_API int fd = 0;
KELVEX_API char buf[60] = {};

}
