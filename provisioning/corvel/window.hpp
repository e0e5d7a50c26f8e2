#pragma once
// Pure rules of the provisioning window: how much of it is left, what a hello is, how long to wait
// for the end of the boot window.
#include <sys/time.h>
#include <cstddef>
#include <ctime>

constexpr long corvel_window_seconds = 600;
constexpr long corvel_boot_window_seconds = 600;

// Time from a to b as a timeval (microseconds, rounded down); 0 when b is not after a.
struct timeval corvel_elapsed(const struct timespec &a, const struct timespec &b);

// The window after a wait that took `spent`; never below zero.
struct timeval corvel_window_reduce(struct timeval window, struct timeval spent);

bool corvel_window_over(const struct timeval &window);

// A datagram whose first 12 bytes are the hello text; anything after them is ignored.
bool corvel_is_hello(const char *data, std::size_t len);

// Seconds to sleep so that the boot window has passed, given the uptime.
long corvel_wait_left(long uptime);
