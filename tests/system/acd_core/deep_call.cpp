// deep_call <levels> [object] [method]
// Calls a method (default ac.set.config set_config) with a "config" table whose
// innermost container sits <levels> deep: deeper than any JSON text the ubus
// command line could parse. Prints the call's status; exits 0 when the call
// was answered at all.
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "gw/ubus.hpp"

int main(int argc, char **argv)
{
	if (argc < 2)
		return 2;
	int levels = atoi(argv[1]);
	const char *object = argc > 2 ? argv[2] : "ac.set.config";
	const char *method = argc > 3 ? argv[3] : "set_config";
	struct ubus_context *ctx = ubus_connect(nullptr);
	if (!ctx) {
		fputs("deep_call: no bus\n", stderr);
		return 1;
	}
	uint32_t id;
	if (ubus_lookup_id(ctx, object, &id) != 0) {
		fprintf(stderr, "deep_call: no object %s\n", object);
		return 1;
	}
	static struct blob_buf b;
	blob_buf_init(&b, 0);
	std::vector<void *> open;
	open.push_back(blobmsg_open_table(&b, "config"));
	blobmsg_add_string(&b, "SystemName", "deep");
	for (int i = 1; i < levels; i++)
		open.push_back(blobmsg_open_table(&b, "n"));
	while (!open.empty()) {
		blobmsg_close_table(&b, open.back());
		open.pop_back();
	}
	fprintf(stderr, "deep_call: %d levels, %u bytes\n", levels, unsigned(blob_pad_len(b.head)));
	int rc = ubus_invoke(ctx, id, method, b.head, nullptr, nullptr, 30000);
	printf("%d\n", rc);
	blob_buf_free(&b);
	ubus_free(ctx);
	// 10: the connection broke (the daemon went away mid-call)
	return rc == UBUS_STATUS_CONNECTION_FAILED || rc == UBUS_STATUS_TIMEOUT ? 1 : 0;
}
