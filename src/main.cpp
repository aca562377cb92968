#include <cstdlib>

#include "platform.h"
#include "startup.h"

int main(int argc, char** argv)
{
    plat::console_utf8();
    // Detached connection threads may use the config and the limits until
    // the process ends, so main ends with exit, which leaves its locals alive.
    config cfg;
    shared_limits limits;
    std::exit(run_server(argc, argv, cfg, limits));
}
