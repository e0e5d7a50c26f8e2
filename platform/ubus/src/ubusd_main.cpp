#include "ubusd.hpp"

int main(int argc, char **argv)
{
	return ubusd::ubusd_main(argc, argv);
}
