#include "fwsum.hpp"
#include "fw_cksum.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace
{

constexpr char fwsum_device[] = "/dev/mtd2";
constexpr char fwsum_output[] = "/tmp/fw.cksum";

long fwsum_read_fd(void *ctx, uint8_t *buf, std::size_t size)
{
	return static_cast<long>(read(*static_cast<int *>(ctx), buf, size));
}

} // namespace

void cal_fw_cksum()
{
	int fd = open(fwsum_device, O_RDONLY | O_CLOEXEC);
	if (fd < 0) {
		printf("can not open %s\n", fwsum_device);
		return;
	}
	lseek(fd, 0, SEEK_SET);
	uint32_t sum = 0;
	auto *buf = static_cast<uint8_t *>(calloc(1, fw_cksum_buf_size));
	if (!buf)
		puts("calloc memory error");
	else
		sum = fw_cksum_read(fwsum_read_fd, &fd, buf, fw_cksum_buf_size);
	free(buf);
	close(fd);

	FILE *out = fopen(fwsum_output, "w+");
	if (!out)
		return;
	fputs(fw_cksum_format(sum).s, out);
	fclose(out);
}

int fwsum_main()
{
	cal_fw_cksum();
	// Our lines come before anything the script prints.
	fflush(stdout);
	system("/usr/bin/chklst.sh &");
	return 0;
}
