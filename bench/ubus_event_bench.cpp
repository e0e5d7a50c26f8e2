// What one bus event costs its sender: ubus_send_event with a table like
// acd's, with nobody listening and with one `ubus listen` listening. Prints
// figures; asserts nothing timed.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "gw/ubus.hpp"

namespace {

pid_t bench_spawn(const char *const argv[])
{
	pid_t pid = fork();
	if (pid == 0) {
		int null = open("/dev/null", O_WRONLY);
		dup2(null, 1);
		execv(argv[0], const_cast<char *const *>(argv));
		_exit(127);
	}
	return pid;
}

double bench_now()
{
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

double bench_run(struct ubus_context *ctx, int n)
{
	static struct blob_buf b;
	double t0 = bench_now();
	for (int i = 0; i < n; i++) {
		blob_buf_init(&b, 0);
		blobmsg_add_string(&b, "mac", "02:00:00:00:00:01");
		blobmsg_add_string(&b, "ip", "10.77.0.11");
		blobmsg_add_u32(&b, "UbootMode", 0);
		if (ubus_send_event(ctx, "ac.ap.add", b.head) != 0) {
			fprintf(stderr, "send failed\n");
			exit(1);
		}
	}
	return (bench_now() - t0) / n * 1e6;
}

} // namespace

int main()
{
	char dir[] = "/tmp/ubus-bench-XXXXXX";
	if (!mkdtemp(dir))
		return 1;
	std::string sock = std::string(dir) + "/ubus.sock";
	const char *daemon[] = {UBUSD_PATH, "-s", sock.c_str(), nullptr};
	pid_t ubusd = bench_spawn(daemon);
	struct stat st;
	for (int i = 0; i < 500 && stat(sock.c_str(), &st) != 0; i++)
		usleep(10000);
	struct ubus_context *ctx = ubus_connect(sock.c_str());
	if (!ctx)
		return 1;
	const int n = 20000;
	bench_run(ctx, 1000); // warm up
	printf("ubus_send_event, nobody listening: %.1f us per event (%d events)\n", bench_run(ctx, n), n);
	const char *listen[] = {UBUS_CLI_PATH, "-s", sock.c_str(), "listen", "ac.*", nullptr};
	pid_t listener = bench_spawn(listen);
	usleep(300000);
	printf("ubus_send_event, one listener: %.1f us per event (%d events)\n", bench_run(ctx, n), n);
	ubus_free(ctx);
	kill(listener, SIGTERM);
	kill(ubusd, SIGTERM);
	waitpid(listener, nullptr, 0);
	waitpid(ubusd, nullptr, 0);
	rmdir(dir);
	return 0;
}
