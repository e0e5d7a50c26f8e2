/* A C program using libbulk.so the way the provisioning tools do. */
#include <bulktools.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

int main(void)
{
	int sv[2];
	char buf[8];
	if (socketpair(AF_UNIX, SOCK_DGRAM, 0, sv) != 0 || send(sv[1], "ok", 2, 0) != 2)
		return 1;
	if (bulkrecv(&sv[0], buf, sizeof(buf)) != 2 || strcmp(buf, "ok") != 0)
		return 2;
	if (calculate_CRC("/nonexistent-bulk/none") != 1)
		return 3;
	if (__bulksytem(__FILE__, __LINE__, __func__, "exit %d", 0) != 0)
		return 4;
	__bulkprintf_info__(stdout, __FILE__, __LINE__, __func__);
	printf("done\n");
	test();
	return 0;
}
