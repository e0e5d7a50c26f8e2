// ubus: the bus command line (list, call, listen, send, wait_for, subscribe).
#include "cli.hpp"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

extern "C" {
#include <libubox/blobmsg_json.h>
}
#include "platform_c.hpp"

namespace ubus_cli {

namespace {

// the "usage" exit status (what a status of 2 turns into as well)
constexpr int kUsageExit = 254;
constexpr int kConnectExit = 255;

struct Options {
	const char *socket = nullptr;
	int timeout_s = 30;
	bool timeout_given = false; // listen and subscribe run until the end otherwise
	bool simple = false;
	bool verbose = false;
};

void cli_usage(const char *prog)
{
	fprintf(stderr,
		"Usage: %s [<options>] <command> [<arguments>...]\n"
		"Options:\n"
		"  -s <socket>    bus socket to connect to\n"
		"  -t <seconds>   how long to wait for a call to finish (default 30)\n"
		"  -S             short output for scripts: compact JSON, no error texts\n"
		"  -v             verbose list: methods with their argument types\n"
		"\n"
		"Commands:\n"
		"  list [<path>]                    objects on the bus (<path> may end in '*')\n"
		"  call <path> <method> [<json>]    call a method, arguments as a JSON object\n"
		"  listen [<pattern>...]            print events (<pattern> may end in '*')\n"
		"  send <type> [<json>]             send an event\n"
		"  wait_for <path> [<path>...]      wait until every object is registered\n"
		"  subscribe <path> [<path>...]     print the notifications of objects\n"
		"\n",
		prog);
}

const char *cli_type_word(void *, struct blob_attr *attr)
{
	if (blob_id(attr) != BLOBMSG_TYPE_INT32)
		return nullptr;
	switch (blobmsg_get_u32(attr)) {
	case BLOBMSG_TYPE_ARRAY:
		return "\"Array\"";
	case BLOBMSG_TYPE_TABLE:
		return "\"Table\"";
	case BLOBMSG_TYPE_STRING:
		return "\"String\"";
	case BLOBMSG_TYPE_INT32:
		return "\"Integer\"";
	case BLOBMSG_TYPE_BOOL:
		return "\"Boolean\"";
	default:
		return "\"(unknown)\"";
	}
}

void cli_list_cb(struct ubus_context *, struct ubus_object_data *obj, void *priv)
{
	const Options *o = static_cast<const Options *>(priv);
	if (!o->verbose || o->simple) {
		printf("%s\n", obj->path);
		return;
	}
	printf("'%s' @%08x\n", obj->path, obj->id);
	if (!obj->signature)
		return;
	struct blob_attr *cur;
	size_t rem;
	blob_for_each_attr(cur, obj->signature, rem) {
		char *s = blobmsg_format_json_with_cb(cur, false, cli_type_word, nullptr, -1);
		if (s)
			printf("\t%s\n", s);
		free(s);
	}
}

int cli_list(struct ubus_context *ctx, const Options &o, int argc, char **argv)
{
	int ret = ubus_lookup(ctx, argc ? argv[0] : nullptr, cli_list_cb, const_cast<Options *>(&o));
	if (ret && !o.simple)
		fprintf(stderr, "Command failed: %s\n", ubus_strerror(ret));
	return ret;
}

void cli_reply_cb(struct ubus_request *req, int, struct blob_attr *msg)
{
	const Options *o = static_cast<const Options *>(req->priv);
	if (!msg)
		return;
	char *s = blobmsg_format_json_indent(msg, true, o->simple ? -1 : 0);
	if (!s)
		return;
	printf("%s\n", s);
	fflush(stdout);
	free(s);
}

struct CallResult {
	int status;
	bool lookup_failed;
};

CallResult cli_do_call(struct ubus_context *ctx, const Options &o, const char *path, const char *method,
		       const char *json)
{
	struct blob_buf b;
	memset(&b, 0, sizeof b);
	blob_buf_init(&b, 0);
	CallResult r = {0, false};
	if (json && !blobmsg_add_json_from_string(&b, json)) {
		r.status = UBUS_STATUS_PARSE_ERROR;
	} else {
		uint32_t id = 0;
		r.status = ubus_lookup_id(ctx, path, &id);
		if (r.status)
			r.lookup_failed = true;
		else
			r.status = ubus_invoke(ctx, id, method, b.head, cli_reply_cb,
					       const_cast<Options *>(&o), o.timeout_s * 1000);
	}
	blob_buf_free(&b);
	return r;
}

int cli_call(struct ubus_context *ctx, const Options &o, int argc, char **argv, const char *prog)
{
	const char *path = argv[0], *method = argv[1], *json = argc > 2 ? argv[2] : nullptr;
	CallResult r = cli_do_call(ctx, o, path, method, json);
	int s = r.status;
	if (!s)
		return 0;
	if (o.simple)
		return s;
	if (r.lookup_failed || isatty(STDERR_FILENO)) {
		fprintf(stderr, "Command failed: %s\n", ubus_strerror(s));
		return s;
	}
	// scripts get the whole command back, and the status as 256 - s
	fprintf(stderr, "Command failed: ubus call %s %s%s%s (%s)\n", path, method, json ? " " : "",
		json ? json : "", ubus_strerror(s));
	if (s == UBUS_STATUS_INVALID_ARGUMENT)
		cli_usage(prog);
	return (256 - s) & 0xff;
}

int cli_fail(const Options &o, int s)
{
	if (s && !o.simple)
		fprintf(stderr, "Command failed: %s\n", ubus_strerror(s));
	return s;
}

// One event or notification per line, as soon as it comes.
void cli_print_event(const char *type, struct blob_attr *msg)
{
	char *s = blobmsg_format_json(msg, true);
	printf("{ \"%s\": %s }\n", type, s ? s : "{}");
	fflush(stdout);
	free(s);
}

void cli_event_cb(struct ubus_context *, struct ubus_event_handler *, const char *type, struct blob_attr *msg)
{
	cli_print_event(type, msg);
}

struct uloop_timeout cli_timer;
bool cli_timed_out;

void cli_timer_cb(struct uloop_timeout *)
{
	cli_timed_out = true;
	uloop_end();
}

// Runs the loop until it is ended, or for the -t time when one applies.
void cli_run(struct ubus_context *ctx, int timeout_s)
{
	ubus_add_uloop(ctx);
	cli_timed_out = false;
	cli_timer.cb = cli_timer_cb;
	if (timeout_s >= 0)
		uloop_timeout_set(&cli_timer, timeout_s * 1000);
	uloop_run();
	uloop_timeout_cancel(&cli_timer);
}

int cli_listen(struct ubus_context *ctx, const Options &o, int argc, char **argv)
{
	static struct ubus_event_handler ev;
	memset(&ev, 0, sizeof ev);
	ev.cb = cli_event_cb;
	int ret = 0;
	for (int i = 0; i < argc && !ret; i++)
		ret = ubus_register_event_handler(ctx, &ev, argv[i]);
	if (!argc)
		ret = ubus_register_event_handler(ctx, &ev, "*");
	if (ret)
		return cli_fail(o, ret);
	cli_run(ctx, o.timeout_given ? o.timeout_s : -1);
	return 0;
}

int cli_send(struct ubus_context *ctx, const Options &o, int argc, char **argv)
{
	struct blob_buf b;
	memset(&b, 0, sizeof b);
	blob_buf_init(&b, 0);
	int ret = UBUS_STATUS_OK;
	if (argc > 1 && !blobmsg_add_json_from_string(&b, argv[1]))
		ret = UBUS_STATUS_PARSE_ERROR;
	else
		ret = ubus_send_event(ctx, argv[0], b.head);
	blob_buf_free(&b);
	return cli_fail(o, ret);
}

struct cli_wait {
	struct ubus_event_handler ev;
	char **paths;
	int n;
	int missing;
	bool *seen;
};

cli_wait cli_waiting;

void cli_wait_mark(const char *path)
{
	for (int i = 0; i < cli_waiting.n; i++)
		if (!cli_waiting.seen[i] && !strcmp(cli_waiting.paths[i], path)) {
			cli_waiting.seen[i] = true;
			cli_waiting.missing--;
		}
	if (!cli_waiting.missing)
		uloop_end();
}

void cli_wait_event_cb(struct ubus_context *, struct ubus_event_handler *, const char *, struct blob_attr *msg)
{
	static const struct blobmsg_policy path_policy = {"path", BLOBMSG_TYPE_STRING};
	struct blob_attr *path = nullptr;
	blobmsg_parse(&path_policy, 1, &path, blob_data(msg), blob_len(msg));
	if (path)
		cli_wait_mark(blobmsg_get_string(path));
}

void cli_wait_lookup_cb(struct ubus_context *, struct ubus_object_data *obj, void *)
{
	cli_wait_mark(obj->path);
}

int cli_wait_for(struct ubus_context *ctx, const Options &o, int argc, char **argv)
{
	bool seen[argc];
	memset(seen, 0, sizeof seen);
	cli_waiting.paths = argv;
	cli_waiting.n = argc;
	cli_waiting.missing = argc;
	cli_waiting.seen = seen;
	cli_waiting.ev.cb = cli_wait_event_cb;
	// listen first, so an object that comes during the lookups is not missed
	int ret = ubus_register_event_handler(ctx, &cli_waiting.ev, "ubus.object.add");
	if (ret)
		return cli_fail(o, ret);
	for (int i = 0; i < argc; i++)
		ubus_lookup(ctx, argv[i], cli_wait_lookup_cb, nullptr);
	if (cli_waiting.missing)
		cli_run(ctx, o.timeout_s);
	return cli_fail(o, cli_waiting.missing ? UBUS_STATUS_TIMEOUT : UBUS_STATUS_OK);
}

int cli_notify_cb(struct ubus_context *, struct ubus_object *, struct ubus_request_data *, const char *method,
		  struct blob_attr *msg)
{
	cli_print_event(method, msg);
	return UBUS_STATUS_OK;
}

void cli_remove_cb(struct ubus_context *, struct ubus_subscriber *, uint32_t)
{
	// a watched object went away; the others may still notify
}

int cli_subscribe(struct ubus_context *ctx, const Options &o, int argc, char **argv)
{
	static struct ubus_subscriber sub;
	memset(&sub, 0, sizeof sub);
	sub.cb = cli_notify_cb;
	sub.remove_cb = cli_remove_cb;
	int ret = ubus_register_subscriber(ctx, &sub);
	for (int i = 0; i < argc && !ret; i++) {
		uint32_t id = 0;
		ret = ubus_lookup_id(ctx, argv[i], &id);
		if (!ret)
			ret = ubus_subscribe(ctx, &sub, id);
	}
	if (ret)
		return cli_fail(o, ret);
	cli_run(ctx, o.timeout_given ? o.timeout_s : -1);
	return 0;
}

} // namespace

int ubus_cli_main(int argc, char **argv)
{
	Options o;
	const char *prog = argv[0];
	int ch;
	while ((ch = getopt(argc, argv, "s:t:Sv")) != -1) {
		switch (ch) {
		case 's':
			o.socket = optarg;
			break;
		case 't':
			o.timeout_s = atoi(optarg);
			if (o.timeout_s < 0)
				o.timeout_s = 0;
			o.timeout_given = true;
			break;
		case 'S':
			o.simple = true;
			break;
		case 'v':
			o.verbose = true;
			break;
		default:
			cli_usage(prog);
			return kUsageExit;
		}
	}
	argc -= optind;
	argv += optind;
	if (argc < 1) {
		cli_usage(prog);
		return kUsageExit;
	}
	const char *cmd = argv[0];
	int nargs = argc - 1;
	struct {
		const char *name;
		int min, max;
	} const commands[] = {
		{"list", 0, 1}, {"call", 2, 3}, {"listen", 0, argc}, {"send", 1, 2},
		{"wait_for", 1, argc}, {"subscribe", 1, argc},
	};
	int which = -1;
	for (int i = 0; i < int(ARRAY_SIZE(commands)); i++)
		if (!strcmp(cmd, commands[i].name) && nargs >= commands[i].min && nargs <= commands[i].max)
			which = i;
	if (which < 0) {
		cli_usage(prog);
		return kUsageExit;
	}

	struct ubus_context *ctx = ubus_connect(o.socket);
	if (!ctx) {
		if (!o.simple)
			fprintf(stderr, "Failed to connect to ubus\n");
		return kConnectExit;
	}
	// the library's loop set-up catches these; a command line just ends on them
	signal(SIGINT, SIG_DFL);
	signal(SIGTERM, SIG_DFL);

	int ret;
	switch (which) {
	case 0:
		ret = cli_list(ctx, o, nargs, argv + 1);
		break;
	case 1:
		ret = cli_call(ctx, o, nargs, argv + 1, prog);
		break;
	case 2:
		ret = cli_listen(ctx, o, nargs, argv + 1);
		break;
	case 3:
		ret = cli_send(ctx, o, nargs, argv + 1);
		break;
	case 4:
		ret = cli_wait_for(ctx, o, nargs, argv + 1);
		break;
	default:
		ret = cli_subscribe(ctx, o, nargs, argv + 1);
		break;
	}
	ubus_free(ctx);
	return ret;
}

} // namespace ubus_cli
