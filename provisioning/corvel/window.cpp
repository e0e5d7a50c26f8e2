#include "window.hpp"

#include <cstring>

namespace
{
constexpr char corvel_hello[] = "bulkhello???";
constexpr std::size_t corvel_hello_len = sizeof(corvel_hello) - 1;
static_assert(corvel_hello_len == 12, "hello is 12 bytes");
constexpr long usec_per_sec = 1000000;
} // namespace

struct timeval corvel_elapsed(const struct timespec &a, const struct timespec &b)
{
	long long ns = (static_cast<long long>(b.tv_sec) - a.tv_sec) * 1000000000LL +
	               (static_cast<long long>(b.tv_nsec) - a.tv_nsec);
	long long us = ns / 1000;
	struct timeval tv = {0, 0};
	if (us > 0) {
		tv.tv_sec = static_cast<time_t>(us / usec_per_sec);
		tv.tv_usec = static_cast<suseconds_t>(us % usec_per_sec);
	}
	return tv;
}

struct timeval corvel_window_reduce(struct timeval window, struct timeval spent)
{
	long long left = (static_cast<long long>(window.tv_sec) * usec_per_sec + window.tv_usec) -
	                 (static_cast<long long>(spent.tv_sec) * usec_per_sec + spent.tv_usec);
	struct timeval tv = {0, 0};
	if (left > 0) {
		tv.tv_sec = static_cast<time_t>(left / usec_per_sec);
		tv.tv_usec = static_cast<suseconds_t>(left % usec_per_sec);
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
