#include "cli.hpp"

int main(int argc, char **argv)
{
	return ubus_cli::ubus_cli_main(argc, argv);
}
