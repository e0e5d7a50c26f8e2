// ubus: the bus command line (list, call).
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
	bool list = !strcmp(cmd, "list"), call = !strcmp(cmd, "call");
	int nargs = argc - 1;
	if (!(list && nargs <= 1) && !(call && nargs >= 2 && nargs <= 3)) {
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

	int ret = list ? cli_list(ctx, o, nargs, argv + 1) : cli_call(ctx, o, nargs, argv + 1, prog);
	ubus_free(ctx);
	return ret;
}

} // namespace ubus_cli
