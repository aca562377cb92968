// The server program with time-outs short enough for process-level fault
// tests (client 2 s, upstream 60 ms); everything else is the real program.
#include <cstdlib>

#include "platform.h"
#include "startup.h"

int main(int argc, char** argv)
{
    config cfg;
    cfg.client_timeout_ms = 2000;
    cfg.upstream_timeout_ms = 60;
    shared_limits limits;
    std::exit(run_server(argc, argv, cfg, limits));
}
