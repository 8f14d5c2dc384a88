// Process entry of the gateway firmware.
#include "app/app.h"

#include <cstdio>

int main(int argc, char** argv)
{
    // Diagnostics reach a pipe line by line.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    LirnMain(argc, argv);
}
