// The entry of every test program: Windows sockets need their library
// started before the first socket call, and POSIX tests must not die of
// SIGPIPE, so the tests run inside the same guard as the server.
#include <gtest/gtest.h>

#include "platform.h"

int main(int argc, char** argv)
{
    plat::socket_library net;
    if (!net.ok()) return 1;
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
