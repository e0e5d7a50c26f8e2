// The client library against our daemon and the test service, in real processes.
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "gw/ubus.hpp"

namespace {

pid_t lib_spawn(const std::vector<std::string> &argv, int *out_fd = nullptr)
{
	int p[2] = {-1, -1};
	if (out_fd && pipe(p) < 0)
		return -1;
	pid_t pid = fork();
	if (pid == 0) {
		if (out_fd) {
			dup2(p[1], 1);
			close(p[0]);
			close(p[1]);
		}
		std::vector<char *> args;
		for (const auto &a : argv)
			args.push_back(const_cast<char *>(a.c_str()));
		args.push_back(nullptr);
		execv(args[0], args.data());
		_exit(127);
	}
	if (out_fd) {
		close(p[1]);
		*out_fd = p[0];
	}
	return pid;
}

// everything the child wrote until it closed stdout (or the time ran out)
std::string lib_read_all(int fd, int ms = 5000)
{
	std::string s;
	char buf[512];
	for (;;) {
		struct pollfd pfd = {fd, POLLIN, 0};
		if (poll(&pfd, 1, ms) <= 0)
			break;
		ssize_t n = read(fd, buf, sizeof buf);
		if (n <= 0)
			break;
		s.append(buf, size_t(n));
	}
	return s;
}

std::string lib_read_line(int fd)
{
	std::string s;
	char c;
	struct pollfd pfd = {fd, POLLIN, 0};
	while (poll(&pfd, 1, 5000) > 0 && read(fd, &c, 1) == 1 && c != '\n')
		s += c;
	return s;
}

void lib_stop(pid_t &pid)
{
	if (pid > 0) {
		kill(pid, SIGKILL);
		waitpid(pid, nullptr, 0);
	}
	pid = -1;
}

struct Collected {
	int calls = 0;
	std::string json;
	int status = -1;
	bool completed = false;
};

void lib_collect(struct ubus_request *req, int type, struct blob_attr *msg)
{
	auto *c = static_cast<Collected *>(req->priv);
	EXPECT_EQ(type, UBUS_MSG_DATA);
	c->calls++;
	char *s = blobmsg_format_json(msg, true);
	c->json += s ? s : "?";
	free(s);
}

void lib_completed(struct ubus_request *req, int ret)
{
	auto *c = static_cast<Collected *>(req->priv);
	c->status = ret;
	c->completed = true;
	uloop_end();
}

struct uloop_timeout guard_timer;
bool guard_fired;

void lib_guard_cb(struct uloop_timeout *)
{
	guard_fired = true;
	uloop_end();
}

// runs the loop, but never longer than ms
void lib_run_loop(int ms)
{
	guard_fired = false;
	guard_timer.cb = lib_guard_cb;
	uloop_timeout_set(&guard_timer, ms);
	uloop_run();
	uloop_timeout_cancel(&guard_timer);
}

class LibTest : public ::testing::Test {
protected:
	std::string dir, sock;
	pid_t ubusd = -1, svc = -1;
	uint32_t svc_id = 0;
	struct ubus_context *ctx = nullptr;

	void SetUp() override
	{
		char tmpl[] = "/tmp/ubus-lib-XXXXXX";
		ASSERT_TRUE(mkdtemp(tmpl));
		dir = tmpl;
		sock = dir + "/ubus.sock";
		ubusd = lib_spawn({UBUSD_PATH, "-s", sock});
		struct stat st;
		for (int i = 0; i < 500 && stat(sock.c_str(), &st) != 0; i++)
			usleep(10000);
		int fd;
		svc = lib_spawn({SVC_PATH, "-s", sock}, &fd);
		std::string line = lib_read_line(fd);
		close(fd);
		ASSERT_EQ(line.rfind("ready ", 0), 0u) << line;
		svc_id = uint32_t(strtoul(line.c_str() + 6, nullptr, 16));
		uloop_init();
		ctx = ubus_connect(sock.c_str());
		ASSERT_TRUE(ctx);
	}

	void TearDown() override
	{
		ubus_free(ctx);
		uloop_done();
		lib_stop(svc);
		lib_stop(ubusd);
		unlink(sock.c_str());
		rmdir(dir.c_str());
	}

	int call(const char *method, const char *json, Collected &c, int timeout = 5000)
	{
		struct blob_buf b = {};
		blob_buf_init(&b, 0);
		if (json) {
			EXPECT_TRUE(blobmsg_add_json_from_string(&b, json));
		}
		int ret = ubus_invoke(ctx, svc_id, method, b.head, lib_collect, &c, timeout);
		blob_buf_free(&b);
		return ret;
	}
};

TEST_F(LibTest, ConnectNeedsADaemon)
{
	EXPECT_EQ(ubus_connect((dir + "/none.sock").c_str()), nullptr);
}

TEST_F(LibTest, LookupAndSynchronousCalls)
{
	uint32_t id = 0;
	EXPECT_EQ(ubus_lookup_id(ctx, "test.obj", &id), 0);
	EXPECT_EQ(id, svc_id);
	EXPECT_EQ(ubus_lookup_id(ctx, "test.ob", &id), UBUS_STATUS_NOT_FOUND);

	struct Found {
		int n = 0;
		std::string path;
		uint32_t type_id = 0;
		int methods = 0;
	} found;
	auto cb = [](struct ubus_context *, struct ubus_object_data *o, void *priv) {
		auto *f = static_cast<Found *>(priv);
		f->n++;
		f->path = o->path;
		f->type_id = o->type_id;
		struct blob_attr *cur;
		size_t rem;
		blob_for_each_attr(cur, o->signature, rem)
			f->methods++;
	};
	EXPECT_EQ(ubus_lookup(ctx, nullptr, cb, &found), 0);
	EXPECT_EQ(found.n, 1);
	EXPECT_EQ(found.path, "test.obj");
	EXPECT_NE(found.type_id, 0u);
	EXPECT_EQ(found.methods, 9);
	EXPECT_EQ(ubus_lookup(ctx, "zz*", cb, &found), UBUS_STATUS_NOT_FOUND);
	EXPECT_EQ(ubus_lookup(ctx, "", cb, &found), UBUS_STATUS_INVALID_ARGUMENT);

	struct Case {
		const char *method, *json;
		int status, replies;
		const char *reply;
	} cases[] = {
		{"echo", R"({"a":5,"s":"x"})", 0, 1, R"({"a":5,"s":"x"})"},
		{"echo", nullptr, 0, 1, "{}"},
		{"twice", nullptr, 0, 2, R"({"n":1}{"n":2})"},
		{"later", R"({"ms":20})", 0, 1, R"({"deferred":true})"},
		{"nothing", nullptr, 0, 0, ""},
		{"fail", R"({"status":4})", 4, 1, R"({"partial":"yes"})"},
		{"nomethod", nullptr, UBUS_STATUS_METHOD_NOT_FOUND, 0, ""},
	};
	for (const auto &k : cases) {
		SCOPED_TRACE(k.method);
		Collected c;
		EXPECT_EQ(call(k.method, k.json, c), k.status);
		EXPECT_EQ(c.calls, k.replies);
		EXPECT_EQ(c.json, k.reply);
	}
	Collected c;
	EXPECT_EQ(call("silent", nullptr, c, 100), UBUS_STATUS_TIMEOUT);
	EXPECT_EQ(ubus_invoke(ctx, 0x1234, "echo", nullptr, nullptr, nullptr, 1000), UBUS_STATUS_NOT_FOUND);
	// the sequence numbers kept counting through all of that
	EXPECT_GT(ctx->request_seq, 10);
}

int lib_hello(struct ubus_context *ctx, struct ubus_object *, struct ubus_request_data *req, const char *,
	      struct blob_attr *)
{
	static struct blob_buf b;
	blob_buf_init(&b, 0);
	blobmsg_add_string(&b, "hello", "there");
	ubus_send_reply(ctx, req, b.head);
	return 0;
}

uint32_t relay_target;

// calls the test service from inside a handler, and passes its answer on
int lib_relay(struct ubus_context *ctx, struct ubus_object *, struct ubus_request_data *req, const char *,
	      struct blob_attr *)
{
	static struct blob_buf b;
	blob_buf_init(&b, 0);
	blobmsg_add_u32(&b, "ms", 300);
	Collected c;
	int ret = ubus_invoke(ctx, relay_target, "later", b.head, lib_collect, &c, 5000);
	blob_buf_init(&b, 0);
	blobmsg_add_string(&b, "relayed", c.json.c_str());
	ubus_send_reply(ctx, req, b.head);
	return ret;
}

const struct ubus_method lib_methods[] = {
	UBUS_METHOD_NOARG("hello", lib_hello),
	UBUS_METHOD_NOARG("relay", lib_relay),
};

TEST_F(LibTest, AddAndRemoveObjectsSharingAType)
{
	struct ubus_object_type type = UBUS_OBJECT_TYPE("lib-type", lib_methods);
	struct ubus_object a = {}, b = {};
	a.name = "lib.a";
	b.name = "lib.b";
	for (auto *o : {&a, &b}) {
		o->type = &type;
		o->methods = lib_methods;
		o->n_methods = ARRAY_SIZE(lib_methods);
	}
	EXPECT_EQ(ubus_remove_object(ctx, &a), UBUS_STATUS_INVALID_ARGUMENT);
	ASSERT_EQ(ubus_add_object(ctx, &a), 0);
	uint32_t tid = type.id;
	EXPECT_NE(tid, 0u);
	ASSERT_EQ(ubus_add_object(ctx, &b), 0);
	EXPECT_EQ(type.id, tid);
	EXPECT_NE(a.id, b.id);
	EXPECT_EQ(ubus_add_object(ctx, &a), UBUS_STATUS_INVALID_ARGUMENT);

	// a name can be published once only
	struct ubus_context *other = ubus_connect(sock.c_str());
	ASSERT_TRUE(other);
	struct ubus_object dup = a;
	dup.id = 0;
	EXPECT_EQ(ubus_add_object(other, &dup), UBUS_STATUS_INVALID_ARGUMENT);
	EXPECT_EQ(dup.id, 0u);
	ubus_free(other);

	uint32_t id = 0;
	EXPECT_EQ(ubus_remove_object(ctx, &a), 0);
	EXPECT_EQ(a.id, 0u);
	EXPECT_EQ(type.id, tid);
	EXPECT_EQ(ubus_lookup_id(ctx, "lib.a", &id), UBUS_STATUS_NOT_FOUND);
	EXPECT_EQ(ubus_remove_object(ctx, &b), 0);
	EXPECT_EQ(type.id, 0u);
	// registering again sends the signature again
	ASSERT_EQ(ubus_add_object(ctx, &a), 0);
	EXPECT_NE(type.id, 0u);
	EXPECT_EQ(ubus_lookup_id(ctx, "lib.a", &id), 0);
	EXPECT_EQ(id, a.id);
}

TEST_F(LibTest, AsynchronousCallInTheLoop)
{
	ubus_add_uloop(ctx);
	struct blob_buf b = {};
	blob_buf_init(&b, 0);
	blobmsg_add_u32(&b, "ms", 50);
	struct ubus_request req;
	ASSERT_EQ(ubus_invoke_async(ctx, svc_id, "later", b.head, &req), 0);
	blob_buf_free(&b);
	Collected c;
	req.data_cb = lib_collect;
	req.complete_cb = lib_completed;
	req.priv = &c;
	ubus_complete_request_async(ctx, &req);
	lib_run_loop(5000);
	EXPECT_FALSE(guard_fired);
	EXPECT_TRUE(c.completed);
	EXPECT_EQ(c.status, 0);
	EXPECT_EQ(c.json, R"({"deferred":true})");
}

struct uloop_process cli_a, cli_b;
int cli_exits;

void lib_cli_exit(struct uloop_process *, int)
{
	if (++cli_exits == 2)
		uloop_end();
}

// A handler that makes a call of its own: a call arriving meanwhile waits its turn.
TEST_F(LibTest, CallFromAHandlerAndACallArrivingMeanwhile)
{
	ubus_add_uloop(ctx);
	relay_target = svc_id;
	struct ubus_object_type type = UBUS_OBJECT_TYPE("lib-type", lib_methods);
	struct ubus_object obj = {};
	obj.name = "lib.obj";
	obj.type = &type;
	obj.methods = lib_methods;
	obj.n_methods = ARRAY_SIZE(lib_methods);
	ASSERT_EQ(ubus_add_object(ctx, &obj), 0);

	int out_a, out_b;
	cli_a.pid = lib_spawn({UBUS_CLI_PATH, "-s", sock, "call", "lib.obj", "relay"}, &out_a);
	std::string later = std::string("sleep 0.1; exec ") + UBUS_CLI_PATH + " -s " + sock + " call lib.obj hello";
	cli_b.pid = lib_spawn({"/bin/sh", "-c", later}, &out_b);
	cli_exits = 0;
	cli_a.cb = cli_b.cb = lib_cli_exit;
	uloop_process_add(&cli_a);
	uloop_process_add(&cli_b);
	lib_run_loop(10000);
	EXPECT_FALSE(guard_fired);
	EXPECT_EQ(lib_read_all(out_a), "{\n\t\"relayed\": \"{\\\"deferred\\\":true}\"\n}\n");
	EXPECT_EQ(lib_read_all(out_b), "{\n\t\"hello\": \"there\"\n}\n");
	close(out_a);
	close(out_b);
}

// Default on a lost connection: the loop ends; what waited gets an error.
TEST_F(LibTest, LostConnectionEndsTheLoop)
{
	ubus_add_uloop(ctx);
	struct ubus_request req;
	ASSERT_EQ(ubus_invoke_async(ctx, svc_id, "silent", nullptr, &req), 0);
	Collected c;
	req.complete_cb = [](struct ubus_request *r, int ret) {
		auto *col = static_cast<Collected *>(r->priv);
		col->status = ret;
		col->completed = true;
	};
	req.priv = &c;
	ubus_complete_request_async(ctx, &req);
	lib_stop(ubusd);
	lib_run_loop(5000);
	EXPECT_FALSE(guard_fired);
	EXPECT_FALSE(ctx->sock.registered);
	EXPECT_TRUE(c.completed);
	EXPECT_EQ(c.status, UBUS_STATUS_TIMEOUT);
	Collected d;
	EXPECT_EQ(call("echo", nullptr, d), UBUS_STATUS_CONNECTION_FAILED);
	uint32_t id;
	EXPECT_EQ(ubus_lookup_id(ctx, "test.obj", &id), UBUS_STATUS_CONNECTION_FAILED);
}

struct Heard {
	std::string text;
	int n = 0;
	uint32_t removed = 0;
};
Heard heard;

void lib_heard(const char *type, struct blob_attr *msg)
{
	char *s = blobmsg_format_json(msg, true);
	heard.text += std::string(type) + "=" + (s ? s : "?") + ";";
	free(s);
	if (++heard.n >= 2)
		uloop_end();
}

// Events from one connection reach the handler of another, by pattern; the
// handler's own sends do too.
TEST_F(LibTest, EventsReachMatchingHandlers)
{
	ubus_add_uloop(ctx);
	heard = Heard();
	struct ubus_event_handler ev = {};
	ev.cb = [](struct ubus_context *, struct ubus_event_handler *, const char *type, struct blob_attr *msg) {
		lib_heard(type, msg);
	};
	ASSERT_EQ(ubus_register_event_handler(ctx, &ev, "lib.*"), 0);
	EXPECT_NE(ev.obj.id, 0u);
	ASSERT_EQ(ubus_register_event_handler(ctx, &ev, "exact"), 0);

	struct ubus_context *other = ubus_connect(sock.c_str());
	ASSERT_TRUE(other);
	struct blob_buf b = {};
	blob_buf_init(&b, 0);
	blobmsg_add_u32(&b, "n", 7);
	EXPECT_EQ(ubus_send_event(other, "nobody.hears", b.head), 0);
	EXPECT_EQ(ubus_send_event(other, "lib.one", b.head), 0);
	EXPECT_EQ(ubus_send_event(other, "ubus.object.add", b.head), UBUS_STATUS_PERMISSION_DENIED);
	blob_buf_init(&b, 0);
	EXPECT_EQ(ubus_send_event(ctx, "exact", b.head), 0);
	blob_buf_free(&b);
	lib_run_loop(5000);
	EXPECT_FALSE(guard_fired);
	EXPECT_EQ(heard.text, R"(lib.one={"n":7};exact={};)");
	ubus_free(other);

	EXPECT_EQ(ubus_unregister_event_handler(ctx, &ev), 0);
	EXPECT_EQ(ev.obj.id, 0u);
}

// A subscriber hears the test service's notifications until the service goes.
TEST_F(LibTest, SubscriberHearsNotificationsUntilTheTargetGoes)
{
	ubus_add_uloop(ctx);
	heard = Heard();
	struct ubus_subscriber sub = {};
	sub.cb = [](struct ubus_context *, struct ubus_object *, struct ubus_request_data *, const char *method,
		    struct blob_attr *msg) {
		lib_heard(method, msg);
		return 0;
	};
	sub.remove_cb = [](struct ubus_context *, struct ubus_subscriber *, uint32_t id) {
		heard.removed = id;
		uloop_end();
	};
	ASSERT_EQ(ubus_register_subscriber(ctx, &sub), 0);
	EXPECT_EQ(ubus_subscribe(ctx, &sub, 0x7777), UBUS_STATUS_NOT_FOUND);
	ASSERT_EQ(ubus_subscribe(ctx, &sub, svc_id), 0);

	// the service notifies from inside a call; its call returns first
	struct ubus_context *other = ubus_connect(sock.c_str());
	ASSERT_TRUE(other);
	struct blob_buf b = {};
	blob_buf_init(&b, 0);
	blobmsg_add_string(&b, "k", "v");
	EXPECT_EQ(ubus_invoke(other, svc_id, "notify", b.head, nullptr, nullptr, 5000), 0);
	blob_buf_init(&b, 0);
	EXPECT_EQ(ubus_invoke(other, svc_id, "notify", b.head, nullptr, nullptr, 5000), 0);
	blob_buf_free(&b);
	lib_run_loop(5000);
	EXPECT_FALSE(guard_fired);
	EXPECT_EQ(heard.text, R"(note={"k":"v"};note={};)");

	// unsubscribed: nothing more comes
	ASSERT_EQ(ubus_unsubscribe(ctx, &sub, svc_id), 0);
	EXPECT_EQ(ubus_invoke(other, svc_id, "notify", nullptr, nullptr, nullptr, 5000), 0);
	ASSERT_EQ(ubus_subscribe(ctx, &sub, svc_id), 0);
	lib_stop(svc);
	lib_run_loop(5000);
	EXPECT_FALSE(guard_fired);
	EXPECT_EQ(heard.removed, svc_id);
	EXPECT_EQ(heard.n, 2);
	ubus_free(other);
}

} // namespace
