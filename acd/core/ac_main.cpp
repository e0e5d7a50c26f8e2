#include "core/ac_main.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/ac_ubus.hpp"
#include "core/vex_dispatch.hpp"
#include "vex/device_info.hpp"
#include "gw/loop.hpp"
#include "stats/stats_poll.hpp"
#include "vex/ap_list.hpp"
#include "vex/vex_transport.hpp"

namespace {
constexpr int AC_STATS_POLL_MS = 10000;
constexpr int AC_UNICAST_POLL_MS = 30000;
constexpr int AC_EXPIRE_CHECK_MS = 50000;

// Each timer re-arms after its work, so runs never overlap.
void ac_stats_poll_cb(struct uloop_timeout *t)
{
	ac_stats_poll();
	uloop_timeout_set(t, AC_STATS_POLL_MS);
}

void ac_unicast_poll_cb(struct uloop_timeout *t)
{
	get_aplist_unicast();
	uloop_timeout_set(t, AC_UNICAST_POLL_MS);
}

void ac_expire_check_cb(struct uloop_timeout *t)
{
	discover_expire_check();
	uloop_timeout_set(t, AC_EXPIRE_CHECK_MS);
}

struct uloop_timeout ac_stats_timer;
struct uloop_timeout ac_unicast_timer;
struct uloop_timeout ac_expire_timer;

// A fork and an exec need little; the kernel's frame comes on top.
constexpr size_t AC_CRASH_STACK = 16384;
alignas(16) char ac_crash_stack[AC_CRASH_STACK];

// A crashed daemon hands its restart to the outside script, which outlives us.
// The script must not keep our sockets: the daemon it starts binds the same
// ports. Only plain system calls here; the heap may be what crashed.
void ac_crash_handler(int)
{
	pid_t pid = fork();
	if (pid == 0) {
		struct rlimit rl;
		int top = 65536;
		if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rlim_t(top))
			top = int(rl.rlim_cur);
		for (int fd = 3; fd < top; fd++)
			close(fd);
		execl("/bin/sh", "sh", "-c", "/usr/bin/ac-proxy-restart &", static_cast<char *>(nullptr));
		_exit(127);
	}
	if (pid > 0)
		waitpid(pid, nullptr, 0);
	_exit(1);
}
} // namespace

int ac_crash_handler_install()
{
	// Without its own stack the handler cannot run after an overflow: the
	// fault comes from the exhausted stack it would run on.
	stack_t ss;
	memset(&ss, 0, sizeof ss);
	ss.ss_sp = ac_crash_stack;
	ss.ss_size = sizeof ac_crash_stack;
	bool onStack = sigaltstack(&ss, nullptr) == 0;

	struct sigaction sa;
	memset(&sa, 0, sizeof sa);
	sa.sa_handler = ac_crash_handler;
	sigemptyset(&sa.sa_mask);
	sa.sa_flags = SA_RESTART | (onStack ? SA_ONSTACK : 0);
	return sigaction(SIGSEGV, &sa, nullptr);
}

int acd_main()
{
	if (ac_device_info_init() != 0) {
		fputs("ac device info init erro \n", stderr);
		return 1;
	}

	if (ac_crash_handler_install() < 0)
		fprintf(stderr, "sigaction() : %s \n", strerror(errno));
	signal(SIGPIPE, SIG_IGN);

	uloop_init();

	if (vex_socket_init(KvVexHandleRxData) != 0) {
		puts("vex socket init error ");
		return 1;
	}
	if (vex_socketbroad_init() != 0) {
		puts("vex socketbroad init error ");
		return 1;
	}

	get_aplist_from_vex();

	ac_stats_timer.cb = ac_stats_poll_cb;
	ac_unicast_timer.cb = ac_unicast_poll_cb;
	ac_expire_timer.cb = ac_expire_check_cb;
	uloop_timeout_set(&ac_stats_timer, AC_STATS_POLL_MS);
	uloop_timeout_set(&ac_unicast_timer, AC_UNICAST_POLL_MS);
	uloop_timeout_set(&ac_expire_timer, AC_EXPIRE_CHECK_MS);

	if (ac_ubus_init() != 0) {
		puts("ac ubus init error ");
		return 1;
	}

	uloop_run();

	ac_ubus_free();
	uloop_done();
	return 0;
}
