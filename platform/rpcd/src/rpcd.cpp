// Host plug-in host: connects to the bus, loads every shared-object plug-in of
// one directory the way rpcd does, and serves them on its loop. Only what the
// plug-ins of this system need; no sessions, no built-in objects.
#include <dirent.h>
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

extern "C" {
#include <libubox/list.h>
#include <libubox/uloop.h>
#include <rpcd/plugin.h>
}

namespace {

const char usage_text[] =
	"Usage: rpcd [-s <socket>] [-t <seconds>] [-p <plugin dir>]\n"
	"  -s  bus socket (default: the bus library's default)\n"
	"  -t  time limit of the process runner, 1-600 s (default 120)\n"
	"  -p  directory of shared-object plug-ins (default /usr/lib/rpcd)\n";

LIST_HEAD(plugins);
int exec_timeout_ms = RPC_EXEC_DEFAULT_TIMEOUT;

bool host_session_access(const char *, const char *, const char *, const char *)
{
	return true;
}

void host_session_hook(struct rpc_session_cb *)
{
}

int host_exec(const char **, rpc_exec_write_cb_t, rpc_exec_read_cb_t, rpc_exec_read_cb_t,
	      rpc_exec_done_cb_t, void *, struct ubus_context *, struct ubus_request_data *)
{
	return UBUS_STATUS_NOT_SUPPORTED;
}

const rpc_daemon_ops host_ops = {
	host_session_access, host_session_hook, host_session_hook, host_exec, &exec_timeout_ms,
};

// Every regular file is tried, in directory order; a failing init is ignored.
void load_plugins(const std::string &dir, struct ubus_context *ctx)
{
	DIR *d = opendir(dir.c_str());
	if (!d)
		return;
	while (struct dirent *e = readdir(d)) {
		std::string path = dir + "/" + e->d_name;
		struct stat st;
		if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
			continue;
		void *dl = dlopen(path.c_str(), RTLD_LAZY | RTLD_LOCAL);
		if (!dl) {
			fprintf(stderr, "Failed to load plugin %s: %s\n", path.c_str(), dlerror());
			continue;
		}
		auto *p = static_cast<struct rpc_plugin *>(dlsym(dl, "rpc_plugin"));
		if (!p)
			continue;
		list_add(&p->list, &plugins);
		p->init(&host_ops, ctx);
	}
	closedir(d);
}

} // namespace

int main(int argc, char **argv)
{
	const char *socket = nullptr;
	std::string dir = "/usr/lib/rpcd";
	int ch;
	while ((ch = getopt(argc, argv, "s:t:p:")) != -1) {
		switch (ch) {
		case 's':
			socket = optarg;
			break;
		case 't': {
			int s = atoi(optarg);
			if (s >= 1 && s <= 600)
				exec_timeout_ms = s * 1000;
			break;
		}
		case 'p':
			dir = optarg;
			break;
		default:
			fputs(usage_text, stderr);
			return 1;
		}
	}

	uloop_init();
	struct ubus_context *ctx = ubus_connect(socket);
	if (!ctx) {
		fprintf(stderr, "Failed to connect to ubus\n");
		return -1;
	}
	ubus_add_uloop(ctx);
	load_plugins(dir, ctx);
	uloop_run();
	ubus_free(ctx);
	uloop_done();
	return 0;
}
