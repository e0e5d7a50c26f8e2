// tallier: rpcd plug-in that samples every network interface's traffic
// counters once a second and serves the last 120 steps on the bus as
// "luci2.network.tallier".
#include <dirent.h>
#include <fcntl.h>
#include <net/if.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "gw/rpcd.hpp"
#include "tally.hpp"

#define TALLIER_EXPORT __attribute__((visibility("default")))

extern "C" {
// Reply arrays come in this order.
TALLIER_EXPORT const char *types[tally_counters] = {
	"rx_bytes",
	"tx_bytes",
	"rx_packets",
	"tx_packets",
};
}

namespace {

constexpr int tallier_period_ms = 1000;

struct avl_tree tallier_devices;
struct uloop_timeout tallier_timer;
struct blob_buf tallier_buf;

// One sysfs value; 0 when the file cannot be read (flags are written in hex).
uint64_t tallier_read(const char *ifname, const char *attr)
{
	char path[4096];
	snprintf(path, sizeof(path), "/sys/class/net/%s/%s", ifname, attr);
	int fd = open(path, O_RDONLY | O_CLOEXEC);
	if (fd < 0)
		return 0;
	char text[32] = {};
	ssize_t n = read(fd, text, sizeof(text) - 1);
	close(fd);
	if (n <= 0)
		return 0;
	return strtoull(text, nullptr, 0);
}

void tallier_sample(struct uloop_timeout *t)
{
	DIR *dir = opendir("/sys/class/net");
	if (!dir) {
		uloop_timeout_set(t, tallier_period_ms);
		return;
	}
	while (struct dirent *e = readdir(dir)) {
		uint64_t flags = tallier_read(e->d_name, "flags");
		struct tally_device *dev;
		dev = avl_find_element(&tallier_devices, e->d_name, dev, avl);
		if (!dev) {
			// tracked from the first sample that finds it up; "." and ".."
			// have no flags and never are
			if (!(flags & IFF_UP))
				continue;
			dev = static_cast<struct tally_device *>(calloc(1, sizeof(*dev)));
			if (!dev)
				continue;
			// a name the record cannot hold would be looked up in vain and
			// allocated again every second
			if (!tally_device_init(dev, e->d_name)) {
				free(dev);
				continue;
			}
			dev->avl.key = dev->name;
			avl_insert(&tallier_devices, &dev->avl);
		}
		uint64_t values[tally_counters];
		for (int c = 0; c < tally_counters; c++) {
			char attr[64];
			snprintf(attr, sizeof(attr), "statistics/%s", types[c]);
			values[c] = tallier_read(e->d_name, attr);
		}
		tally_sample(dev, values);
	}
	closedir(dir);
	uloop_timeout_set(t, tallier_period_ms);
}

void tallier_add_history(struct blob_buf *b, const struct tally_device *dev)
{
	for (int c = 0; c < tally_counters; c++) {
		void *arr = blobmsg_open_array(b, types[c]);
		for (int k = 0; k < tally_slots; k++)
			blobmsg_add_u32(b, nullptr, static_cast<uint32_t>(tally_entry(dev, c, k)));
		blobmsg_close_array(b, arr);
	}
}

int tallier_devices_cb(struct ubus_context *ctx, struct ubus_object *, struct ubus_request_data *req,
		       const char *, struct blob_attr *)
{
	struct tally_device *dev;
	blob_buf_init(&tallier_buf, 0);
	void *arr = blobmsg_open_array(&tallier_buf, "devices");
	avl_for_each_element(&tallier_devices, dev, avl)
		blobmsg_add_string(&tallier_buf, nullptr, dev->name);
	blobmsg_close_array(&tallier_buf, arr);
	ubus_send_reply(ctx, req, tallier_buf.head);
	return UBUS_STATUS_OK;
}

enum {
	TALLIER_DEVICE,
	__TALLIER_MAX,
};

const struct blobmsg_policy tallier_policy[__TALLIER_MAX] = {
	{"device", BLOBMSG_TYPE_STRING},
};

int tallier_statistics_cb(struct ubus_context *ctx, struct ubus_object *, struct ubus_request_data *req,
			  const char *, struct blob_attr *msg)
{
	struct blob_attr *tb[__TALLIER_MAX] = {};
	struct tally_device *dev;
	if (msg)
		blobmsg_parse(tallier_policy, __TALLIER_MAX, tb, blob_data(msg), blob_len(msg));

	if (tb[TALLIER_DEVICE]) {
		dev = avl_find_element(&tallier_devices, blobmsg_get_string(tb[TALLIER_DEVICE]), dev, avl);
		if (!dev)
			return UBUS_STATUS_NOT_FOUND;
		blob_buf_init(&tallier_buf, 0);
		void *stats = blobmsg_open_table(&tallier_buf, "statistics");
		tallier_add_history(&tallier_buf, dev);
		blobmsg_close_table(&tallier_buf, stats);
	} else {
		blob_buf_init(&tallier_buf, 0);
		void *stats = blobmsg_open_table(&tallier_buf, "statistics");
		avl_for_each_element(&tallier_devices, dev, avl) {
			void *one = blobmsg_open_table(&tallier_buf, dev->name);
			tallier_add_history(&tallier_buf, dev);
			blobmsg_close_table(&tallier_buf, one);
		}
		blobmsg_close_table(&tallier_buf, stats);
	}
	ubus_send_reply(ctx, req, tallier_buf.head);
	return UBUS_STATUS_OK;
}

const struct ubus_method tallier_methods[] = {
	UBUS_METHOD_NOARG("devices", tallier_devices_cb),
	UBUS_METHOD("statistics", tallier_statistics_cb, tallier_policy),
};

struct ubus_object_type tallier_type = GW_UBUS_OBJECT_TYPE("luci-rpc-tallier", tallier_methods);

// The platform's way: name the fields that matter, the rest start zeroed.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
struct ubus_object tallier_object = {
	.name = "luci2.network.tallier",
	.type = &tallier_type,
	.methods = tallier_methods,
	.n_methods = ARRAY_SIZE(tallier_methods),
};
#pragma GCC diagnostic pop

int tallier_init(const struct rpc_daemon_ops *, struct ubus_context *ctx)
{
	avl_init(&tallier_devices, avl_strcmp, false, nullptr);
	tallier_timer.cb = tallier_sample;
	uloop_timeout_set(&tallier_timer, tallier_period_ms);
	return ubus_add_object(ctx, &tallier_object);
}

} // namespace

extern "C" {
TALLIER_EXPORT struct rpc_plugin rpc_plugin = {
	{nullptr, nullptr},
	tallier_init,
};
}
