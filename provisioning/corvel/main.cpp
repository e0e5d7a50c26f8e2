#include "corvel.hpp"

int main()
{
	return corvel_main();
}
