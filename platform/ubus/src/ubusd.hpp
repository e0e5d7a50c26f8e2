#pragma once

namespace ubusd {

// The whole daemon: options, socket, loop. Returns the exit status.
int ubusd_main(int argc, char **argv);

} // namespace ubusd
