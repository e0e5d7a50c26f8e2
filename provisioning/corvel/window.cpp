#include "window.hpp"

#include <cstring>

namespace
{
constexpr char corvel_hello[] = "bulkhello???";
constexpr std::size_t corvel_hello_len = sizeof(corvel_hello) - 1;
static_assert(corvel_hello_len == 12, "hello is 12 bytes");
constexpr long usec_per_sec = 1000000;

// Seconds and a remainder brought into [0, unit): no 64-bit division, which
// 32-bit processors take from libgcc.
void normalize(long long &sec, long &frac, long unit)
{
	sec += frac / unit;
	frac %= unit;
	if (frac < 0) {
		frac += unit;
		sec--;
	}
}
} // namespace

struct timeval corvel_elapsed(const struct timespec &a, const struct timespec &b)
{
	long long sec = static_cast<long long>(b.tv_sec) - a.tv_sec;
	long nsec = static_cast<long>(b.tv_nsec) - static_cast<long>(a.tv_nsec);
	normalize(sec, nsec, 1000000000L);
	struct timeval tv = {0, 0};
	if (sec > 0 || (sec == 0 && nsec >= 1000)) {
		tv.tv_sec = static_cast<time_t>(sec);
		tv.tv_usec = static_cast<suseconds_t>(nsec / 1000);
	}
	return tv;
}

struct timeval corvel_window_reduce(struct timeval window, struct timeval spent)
{
	long long sec = static_cast<long long>(window.tv_sec) - spent.tv_sec;
	long usec = static_cast<long>(window.tv_usec) - static_cast<long>(spent.tv_usec);
	normalize(sec, usec, usec_per_sec);
	struct timeval tv = {0, 0};
	if (sec > 0 || (sec == 0 && usec > 0)) {
		tv.tv_sec = static_cast<time_t>(sec);
		tv.tv_usec = static_cast<suseconds_t>(usec);
	}
	return tv;
}

bool corvel_window_over(const struct timeval &window)
{
	return window.tv_sec <= 0 && window.tv_usec <= 0;
}

bool corvel_is_hello(const char *data, std::size_t len)
{
	return len >= corvel_hello_len && memcmp(data, corvel_hello, corvel_hello_len) == 0;
}

long corvel_wait_left(long uptime)
{
	return uptime < corvel_boot_window_seconds ? corvel_boot_window_seconds - uptime : 0;
}
