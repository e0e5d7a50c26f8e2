// Routines for the factory-provisioning tools; exported with C names, everything else hidden.
#include "bulktools.h"
#include "bulktools_internal.hpp"

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include <poll.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#define BULK_EXPORT __attribute__((visibility("default")))

namespace bulk
{

uint32_t xor32_update(uint32_t acc, const uint8_t *p, std::size_t n)
{
	for (std::size_t i = 0; i < n; i += 4) {
		uint32_t w = 0;
		for (std::size_t k = 0; k < 4; k++)
			w = (w << 8) | (i + k < n ? p[i + k] : 0u);
		acc ^= w;
	}
	return acc;
}

bool format_command(char *out, std::size_t size, const char *fmt, va_list ap)
{
	int n = vsnprintf(out, size, fmt, ap);
	if (n < 0 || static_cast<std::size_t>(n) >= size) {
		out[0] = '\0';
		return false;
	}
	return true;
}

} // namespace bulk

namespace
{

struct file_closer {
	void operator()(FILE *f) const noexcept { fclose(f); }
};
using file_ptr = std::unique_ptr<FILE, file_closer>;

int bulk_colour()
{
	return 31 + getpid() % 8;
}

uint32_t bulk_swap32(uint32_t v)
{
	return (v >> 24) | ((v >> 8) & 0xff00u) | ((v << 8) & 0xff0000u) | (v << 24);
}

} // namespace

extern "C" {

BULK_EXPORT int __dbgprintf_info__(FILE *stream, const char *file, int line, const char *func)
{
	return fprintf(stream, "\x1b[1m\x1b[%d;%dm[%4u %5d %-20s:%5d %16s()]:::\x1b[0m", 40, bulk_colour(),
	               static_cast<unsigned>(time(nullptr) % 4096), static_cast<int>(getpid()), file, line,
	               func);
}

BULK_EXPORT int __bulkprintf_info__(FILE *stream, const char *file, int line, const char *func)
{
	return fprintf(stream, "\x1b[1m\x1b[%d;%dm[%5d %-20s:%5d %16s()]:::\x1b[0m", 40, bulk_colour(),
	               static_cast<int>(getpid()), file, line, func);
}

BULK_EXPORT int __bulksytem(const char *, int, const char *, const char *fmt, ...)
{
	std::array<char, bulk::command_size> cmd;
	va_list ap;
	va_start(ap, fmt);
	bool fits = bulk::format_command(cmd.data(), cmd.size(), fmt, ap);
	va_end(ap);
	// A cut command line would be a different command: refuse it instead.
	if (!fits) {
		errno = E2BIG;
		return -1;
	}
	return system(cmd.data());
}

BULK_EXPORT void bulklog(const char *ident, const char *msg)
{
	openlog(ident, LOG_PID, LOG_USER);
	syslog(LOG_INFO, "%s\n", msg);
	closelog();
}

BULK_EXPORT int bulkrecv(int *sock, void *buf, int len)
{
	if (len <= 0)
		return 0;
	for (;;) {
		memset(buf, 0, static_cast<std::size_t>(len));
		ssize_t n = recv(*sock, buf, static_cast<std::size_t>(len), 0);
		if (n >= 0)
			return static_cast<int>(n);
		if (errno != EAGAIN && errno != EWOULDBLOCK)
			return -1;
		// Nothing yet on a non-blocking socket: sleep until it is readable instead of spinning.
		struct pollfd pfd = {*sock, POLLIN, 0};
		while (poll(&pfd, 1, -1) < 0) {
			if (errno != EINTR)
				return -1;
		}
	}
}

BULK_EXPORT uint32_t calculate_CRC(const char *path)
{
	printf("path = %s\n", path);
	file_ptr f(fopen(path, "rb"));
	if (!f) {
		puts("can't find file!!!");
		return 1;
	}
	std::array<uint8_t, bulk::crc_block_size> block;
	uint32_t acc = 0;
	std::size_t n;
	while ((n = fread(block.data(), 1, block.size(), f.get())) > 0)
		acc = bulk::xor32_update(acc, block.data(), n);
	printf("calculate_CRC checksum = %x\n", acc);
	return bulk_swap32(acc);
}

BULK_EXPORT int create_sessionID(void)
{
	srand(static_cast<unsigned>(time(nullptr)));
	int id = rand() % 10000 + 2;
	file_ptr con(fopen("/dev/console", "a"));
	if (con) {
		__bulkprintf_info__(con.get(), "bulktools", 250, "create_sessionID");
		fprintf(con.get(), "session ID:%x\n", static_cast<unsigned>(id));
	}
	return id;
}

BULK_EXPORT void test(void) {}

} // extern "C"
