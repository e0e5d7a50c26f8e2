#include "apconfig/status_record.hpp"

#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include "apconfig/tmp_file.hpp"

static_assert(AC_STATUS_RECORD_LEN == 64, "status records are 64 bytes");

void ac_status_record_format(uint8_t out[AC_STATUS_RECORD_LEN], const char *ip, int32_t number)
{
	char text[AC_STATUS_RECORD_LEN];
	memset(text, 0, sizeof text);
	snprintf(text, sizeof text, "%s %d", ip, int(number));
	memcpy(out, text, sizeof text);
}

bool ac_status_piece_match(const char *piece, const char *ip, int32_t *status)
{
	// The whole address word, not a substring: 10.0.0.1 must not take the
	// record of 10.0.0.12.
	size_t len = strlen(ip);
	if (strncmp(piece, ip, len) != 0 || (piece[len] != ' ' && piece[len] != '\0'))
		return false;
	int number;
	if (sscanf(piece, "%*s %d", &number) == 1)
		*status = number;
	return true;
}

void ac_status_write(const char *path, const char *ip, int32_t number)
{
	uint8_t record[AC_STATUS_RECORD_LEN];
	ac_status_record_format(record, ip, number);
	ac_tmp_replace(path, record, sizeof record, 0666);
}

int32_t ac_status_take(const char *path, const char *ip)
{
	int32_t status = AC_STATUS_NONE;
	// Only a record of ours: no link to another file, and nothing (a FIFO)
	// that would make the loop wait.
	int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
	FILE *f = fd < 0 ? nullptr : fdopen(fd, "r");
	if (!f && fd >= 0)
		close(fd);
	if (f) {
		char piece[AC_STATUS_RECORD_LEN];
		while (fgets(piece, sizeof piece, f))
			ac_status_piece_match(piece, ip, &status);
		fclose(f);
	}
	unlink(path);
	return status;
}
