// crash_probe: installs acd's crash handler, then overflows its stack, as a
// deep enough walk over outside input would. Not part of acd: the shipped
// daemon has no way to crash on purpose.
#include <cstdio>

#include "core/ac_main.hpp"

namespace {
volatile int probe_floor = -1; // never reached: only the stack's end stops the dive

// Every level keeps a buffer the compiler cannot drop.
int probe_dive(int n)
{
	volatile char frame[1024];
	frame[n % sizeof frame] = char(n);
	if (n == probe_floor)
		return 0;
	return probe_dive(n + 1) + frame[(n * 7) % sizeof frame];
}
} // namespace

int main()
{
	if (ac_crash_handler_install() != 0) {
		perror("crash_probe: sigaction");
		return 2;
	}
	puts("crash_probe: diving");
	fflush(stdout);
	return probe_dive(0);
}
