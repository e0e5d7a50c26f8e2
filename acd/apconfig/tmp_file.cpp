#include "apconfig/tmp_file.hpp"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
constexpr int AC_TMP_TRIES = 16;

// Not secret, only hard to guess ahead: a name taken already costs one try.
uint32_t ac_tmp_salt()
{
	static uint32_t counter;
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	uint32_t x = uint32_t(ts.tv_nsec) ^ uint32_t(ts.tv_sec) * 2654435761u ^ uint32_t(getpid()) << 16;
	x ^= ++counter * 0x9E3779B9u;
	x ^= x >> 15;
	return x * 0x85EBCA6Bu;
}
} // namespace

FILE *ac_tmp_begin(const char *path, mode_t mode, char tmp[AC_TMP_NAME_LEN])
{
	for (int i = 0; i < AC_TMP_TRIES; i++) {
		int n = snprintf(tmp, AC_TMP_NAME_LEN, "%s.%08x", path, unsigned(ac_tmp_salt()));
		if (n < 0 || size_t(n) >= AC_TMP_NAME_LEN)
			return nullptr;
		int fd = open(tmp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
		if (fd < 0) {
			if (errno == EEXIST)
				continue;
			return nullptr;
		}
		FILE *f = fdopen(fd, "w");
		if (!f) {
			close(fd);
			unlink(tmp);
		}
		return f;
	}
	return nullptr;
}

bool ac_tmp_commit(FILE *f, const char tmp[AC_TMP_NAME_LEN], const char *path)
{
	bool ok = !ferror(f);
	ok = fclose(f) == 0 && ok;
	if (ok && rename(tmp, path) == 0)
		return true;
	unlink(tmp);
	return false;
}

bool ac_tmp_replace(const char *path, const void *data, size_t len, mode_t mode)
{
	char tmp[AC_TMP_NAME_LEN];
	FILE *f = ac_tmp_begin(path, mode, tmp);
	if (!f)
		return false;
	if (len && fwrite(data, 1, len, f) != len) {
		fclose(f);
		unlink(tmp);
		return false;
	}
	return ac_tmp_commit(f, tmp, path);
}

FILE *ac_file_read_nowait(const char *path)
{
	int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
	if (fd < 0)
		return nullptr;
	FILE *f = fdopen(fd, "r");
	if (!f)
		close(fd);
	return f;
}

bool ac_file_regular(const char *path)
{
	int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
	if (fd < 0)
		return false;
	struct stat st;
	bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
	close(fd);
	return regular;
}

bool ac_tmp_create_new(const char *path, mode_t mode)
{
	unlink(path);
	int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
	if (fd < 0)
		return false;
	close(fd);
	return true;
}
