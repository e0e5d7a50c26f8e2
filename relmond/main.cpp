#include "cli.hpp"

int main(int argc, char **argv)
{
	return relmond_main(argc, argv) & 0xff;
}
