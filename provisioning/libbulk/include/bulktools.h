/* Small helpers for the factory-provisioning tools (libbulk.so). */
#ifndef BULKTOOLS_H
#define BULKTOOLS_H

#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Coloured debug prefix with the time; the caller writes its message after it. */
int __dbgprintf_info__(FILE *stream, const char *file, int line, const char *func);
/* The same prefix without the time. */
int __bulkprintf_info__(FILE *stream, const char *file, int line, const char *func);

/* Formats a command line (at most 1031 characters) and runs it with system(). Returns system()'s raw
 * status; a command that does not fit is not run: -1 with errno E2BIG. The location is ignored. */
int __bulksytem(const char *file, int line, const char *func, const char *fmt, ...)
    __attribute__((format(printf, 4, 5)));

/* One informational entry "<msg>\n" in the system log under the given identity. */
void bulklog(const char *ident, const char *msg);

/* Receives once into buf after clearing it; waits while the socket has nothing to read.
 * Returns the byte count (0 when the peer closed), 0 for len <= 0, or -1. */
int bulkrecv(int *sock, void *buf, int len);

/* XOR of the file's 32-bit little-endian words (zero-padded); 1 when the file cannot be opened. */
uint32_t calculate_CRC(const char *path);

/* Session number from 2 to 10001, also written to the console. */
int create_sessionID(void);

void test(void);

#ifdef __cplusplus
}
#endif

#endif
