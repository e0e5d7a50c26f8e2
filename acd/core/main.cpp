#include "core/ac_main.hpp"

int main()
{
	return acd_main();
}
