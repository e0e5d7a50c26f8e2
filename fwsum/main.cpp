#include "fwsum.hpp"

int main()
{
	return fwsum_main();
}
