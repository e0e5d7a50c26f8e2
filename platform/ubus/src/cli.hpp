#pragma once

namespace ubus_cli {

// The whole command line; returns the exit status.
int ubus_cli_main(int argc, char **argv);

} // namespace ubus_cli
