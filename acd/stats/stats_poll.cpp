#include "stats/stats_poll.hpp"

#include <netinet/in.h>
#include <sys/socket.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "diag/ac_diag.hpp"
#include "bus/ac_events.hpp"
#include "gw/loop.hpp"
#include "stats/poll_run.hpp"
#include "stats/jsonrpc.hpp"
#include "vex/codec/ap_registry.hpp"

namespace {
// An answer larger than this is not kept (the APs' answers are a few kB).
constexpr size_t JSONRPC_ANSWER_MAX = 1 << 20;
constexpr int JSONRPC_READ_SIZE = 8192;
constexpr int JSONRPC_REDIRECT_MAX = 10;

constexpr unsigned JSONRPC_OPEN_BUCKETS = 64;

// One open exchange; owns its client and its receive buffer. The AP is named by
// its address text, never by its record, so expiry and all_clear may drop the
// record while the exchange is open.
struct jsonrpc_exchange {
	struct list_head list; // jsonrpc_window (oldest first) or jsonrpc_slow
	jsonrpc_exchange *next_open; // same bucket of jsonrpc_open
	struct achttp_client *cl;
	int64_t started; // ms, monotonic
	char ip[16];
	int32_t id;
	char *rx;
	size_t rx_len;
	bool in_window;
	bool overflow; // the answer outgrew JSONRPC_ANSWER_MAX: it is dropped
	bool answered; // the whole answer was accepted
	uint32_t run;  // the poll run that started it
};

// Open exchanges: those holding the window, those that outstayed it, and all of
// them by address and id (one lookup per request, however many are open).
LIST_HEAD(jsonrpc_window);
LIST_HEAD(jsonrpc_slow);
unsigned jsonrpc_window_count, jsonrpc_slow_count;
jsonrpc_exchange *jsonrpc_open[JSONRPC_OPEN_BUCKETS];

// The poll run being sent: the APs' addresses as the run found them, and the
// next request (pass = row of jsonrpc_requests, at = AP). Requests go out in
// the order of the passes, as the window frees up.
struct jsonrpc_run {
	char (*ips)[16];
	unsigned count;
	unsigned pass;
	unsigned at;
	bool active;
	bool again; // the timer fired while this run was still being sent
} jsonrpc_cur;

struct uloop_timeout jsonrpc_pump_timer;
struct uloop_timeout jsonrpc_hold_timer;
int64_t jsonrpc_hold_due; // when the hold timer runs, while it is pending

// The poll runs whose exchanges are still open, and the one starting now.
poll_run_book jsonrpc_runs;
uint32_t jsonrpc_run;

int64_t jsonrpc_now_ms()
{
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Shared by all exchanges, like the answer buffer.
int jsonrpc_redirects;
struct blob_buf jsonrpc_answer_buf;

const struct achttp_cb jsonrpc_cb = {
	jsonrpc_read_cb,
	nullptr,
	jsonrpc_eof_cb,
	jsonrpc_header_cb,
	jsonrpc_error_cb,
};

jsonrpc_exchange *jsonrpc_exchange_of(struct achttp_client *cl)
{
	return static_cast<jsonrpc_exchange *>(cl->priv);
}

jsonrpc_exchange **jsonrpc_bucket(const char *ip, int32_t id)
{
	uint32_t h = 2166136261u ^ uint32_t(id);
	for (const char *p = ip; *p; p++)
		h = (h ^ uint8_t(*p)) * 16777619u;
	return &jsonrpc_open[h % JSONRPC_OPEN_BUCKETS];
}

bool jsonrpc_exchange_open(const char *ip, int32_t id)
{
	for (jsonrpc_exchange *x = *jsonrpc_bucket(ip, id); x; x = x->next_open)
		if (x->id == id && !strcmp(x->ip, ip))
			return true;
	return false;
}

void jsonrpc_pump_soon()
{
	if (!jsonrpc_pump_timer.pending)
		uloop_timeout_set(&jsonrpc_pump_timer, 0);
}

bool jsonrpc_full()
{
	return jsonrpc_window_count + jsonrpc_slow_count >= JSONRPC_WINDOW + JSONRPC_SLOW_MAX;
}

// The hold timer runs when the oldest exchange of the window has held it long
// enough, or, when no more may be open, when the oldest outside it may be given up.
void jsonrpc_hold_arm()
{
	int64_t due = INT64_MAX;
	if (!list_empty(&jsonrpc_window))
		due = list_first_entry(&jsonrpc_window, jsonrpc_exchange, list)->started +
		      JSONRPC_WINDOW_HOLD_MS;
	if (jsonrpc_full() && !list_empty(&jsonrpc_slow)) {
		int64_t t = list_first_entry(&jsonrpc_slow, jsonrpc_exchange, list)->started +
			    JSONRPC_SLOW_GIVE_UP_MS;
		if (t < due)
			due = t;
	}
	if (due == INT64_MAX) {
		uloop_timeout_cancel(&jsonrpc_hold_timer);
		return;
	}
	if (jsonrpc_hold_timer.pending && jsonrpc_hold_due <= due)
		return;
	jsonrpc_hold_due = due;
	int64_t left = due - jsonrpc_now_ms();
	uloop_timeout_set(&jsonrpc_hold_timer, left > 0 ? int(left) : 0);
}

// A run whose exchanges have all ended: recorded and announced.
void jsonrpc_run_done(const poll_run_totals *t)
{
	ac_diag_poll_run(t);
	ac_event_poll_run(t);
}

void jsonrpc_exchange_end(jsonrpc_exchange *x)
{
	poll_run_totals t;
	if (poll_run_ended(&jsonrpc_runs, x->run, x->answered, jsonrpc_now_ms(), &t))
		jsonrpc_run_done(&t);
	achttp_disconnect(x->cl);
	achttp_free(x->cl);
	free(x->rx);
	list_del(&x->list);
	if (x->in_window)
		jsonrpc_window_count--;
	else
		jsonrpc_slow_count--;
	jsonrpc_pump_soon();
	jsonrpc_exchange **pp = jsonrpc_bucket(x->ip, x->id);
	while (*pp != x)
		pp = &(*pp)->next_open;
	*pp = x->next_open;
	free(x);
}

void jsonrpc_append(jsonrpc_exchange *x, const char *data, size_t n)
{
	if (x->overflow)
		return;
	if (n > JSONRPC_ANSWER_MAX - x->rx_len) {
		fprintf(stderr, "Answer from %s over %u bytes dropped\n", x->ip,
			unsigned(JSONRPC_ANSWER_MAX));
		ac_diag_http_end(x->ip, x->id, AC_HTTP_OVERSIZED);
		x->overflow = true;
		free(x->rx);
		x->rx = nullptr;
		x->rx_len = 0;
		return;
	}
	char *grown = static_cast<char *>(realloc(x->rx, x->rx_len + n + 1));
	if (!grown) {
		x->overflow = true; // what arrived cannot be kept whole
		free(x->rx);
		x->rx = nullptr;
		x->rx_len = 0;
		return;
	}
	x->rx = grown;
	memcpy(x->rx + x->rx_len, data, n);
	x->rx_len += n;
	x->rx[x->rx_len] = '\0';
}

void jsonrpc_handle_body(jsonrpc_exchange *x)
{
	int rc = -1;
	bool tooDeep;
	if (jsonrpc_parse_answer(&jsonrpc_answer_buf, x->rx, x->rx_len, &tooDeep)) {
		rc = jsonrpc_store_reply(x->cl, jsonrpc_answer_buf.head);
		x->answered = rc != 0;
		if (!x->answered)
			fputs("parse josn rpc error 1 \n", stderr);
	}
	if (tooDeep)
		fprintf(stderr, "AP %s answers nested deeper than %d levels, dropped\n", x->ip, JSONRPC_DEPTH_MAX);
	ac_diag_answer(x->ip, x->id, rc);
	blob_buf_init(&jsonrpc_answer_buf, 0);
}

const char *jsonrpc_error_text(const struct achttp_client *cl, int code)
{
	switch (code) {
	case ACHTTP_ERROR_CONNECT:
		return "Connection failed";
	case ACHTTP_ERROR_SSL_INVALID_CERT:
		return "Invalid SSL certificate";
	case ACHTTP_ERROR_SSL_CN_MISMATCH:
		return "Server hostname does not match SSL certificate";
	case ACHTTP_ERROR_TIMEDOUT:
		// Our own limit. A connect that never completed is the failure the
		// system reports for it anyway; an AP that accepted and stays silent
		// was never reported, and is asked again at the next poll run.
		return cl->local_addr.sa.sa_family == AF_UNSPEC ? "Connection failed" : nullptr;
	default:
		return "Unknown error";
	}
}
} // namespace

void get_remote_addr(struct achttp_client *cl)
{
	int fd = achttp_fd(cl);
	if (fd < 0)
		return; // the addresses of the connect stay
	union achttp_addr a;
	socklen_t len = sizeof a;
	memset(&a, 0, sizeof a);
	if (getsockname(fd, &a.sa, &len) == 0)
		cl->local_addr = a;
	len = sizeof a;
	memset(&a, 0, sizeof a);
	if (getpeername(fd, &a.sa, &len) == 0)
		cl->remote_addr = a;
}

namespace {
// The AP records by address text, so an answer finds its records without a
// walk of the list; rebuilt whenever the registry has changed since.
struct jsonrpc_ap_index {
	ap_record **slots;
	unsigned cap; // a power of two, or 0
	unsigned built; // ap_registry_changes when built
} jsonrpc_aps;

uint32_t jsonrpc_ip_hash(const char *ip)
{
	uint32_t h = 2166136261u;
	for (; *ip; ip++)
		h = (h ^ uint8_t(*ip)) * 16777619u;
	return h;
}

bool jsonrpc_ap_index_fresh()
{
	if (jsonrpc_aps.slots && jsonrpc_aps.built == ap_registry_changes)
		return true;
	unsigned n = 0;
	ap_record *ap;
	list_for_each_entry(ap, &aps, list)
		n++;
	unsigned cap = 16;
	while (cap < 2 * n)
		cap *= 2;
	free(jsonrpc_aps.slots);
	jsonrpc_aps.slots = static_cast<ap_record **>(calloc(cap, sizeof(ap_record *)));
	if (!jsonrpc_aps.slots)
		return false;
	jsonrpc_aps.cap = cap;
	jsonrpc_aps.built = ap_registry_changes;
	list_for_each_entry(ap, &aps, list) {
		unsigned i = jsonrpc_ip_hash(ap->ip) & (cap - 1);
		while (jsonrpc_aps.slots[i])
			i = (i + 1) & (cap - 1);
		jsonrpc_aps.slots[i] = ap;
	}
	return true;
}
} // namespace

int jsonrpc_store_reply(struct achttp_client *cl, struct blob_attr *answer)
{
	char peer[INET6_ADDRSTRLEN + 8];
	get_remote_addr(cl);
	achttp_get_addr(peer, nullptr, &cl->remote_addr);
	if (!jsonrpc_ap_index_fresh())
		return jsonrpc_store_answer(&aps, peer, answer);
	int32_t id;
	struct blob_attr *value;
	int rc = jsonrpc_check_answer(answer, peer, &id, &value);
	if (rc != JSONRPC_STORE)
		return rc;
	// Every record with this address text gets a copy, as in the list walk.
	for (unsigned i = jsonrpc_ip_hash(peer) & (jsonrpc_aps.cap - 1); jsonrpc_aps.slots[i];
	     i = (i + 1) & (jsonrpc_aps.cap - 1))
		if (!strcmp(jsonrpc_aps.slots[i]->ip, peer))
			ap_slot_store(jsonrpc_aps.slots[i], id, value);
	return 1;
}

// The answer's way: body bytes are only collected here as they come; the
// exchange then ends in jsonrpc_finish, from the end-of-data or the error
// callback, which handles a whole answer before anything else.
void jsonrpc_read_cb(struct achttp_client *cl)
{
	jsonrpc_exchange *x = jsonrpc_exchange_of(cl);
	char buf[JSONRPC_READ_SIZE];
	int n;
	while ((n = achttp_read(cl, buf, sizeof buf)) > 0)
		jsonrpc_append(x, buf, size_t(n));
}

void jsonrpc_header_cb(struct achttp_client *cl)
{
	int followed = jsonrpc_redirects < JSONRPC_REDIRECT_MAX ? achttp_redirect(cl) : 0;
	if (followed > 0) {
		fprintf(stderr, "Redirected to %s on %s\n", cl->url->location, cl->url->host);
		jsonrpc_redirects++;
		return;
	}
	// A name would need a lookup, which blocks the loop: the answer at hand counts.
	if (followed < 0)
		fprintf(stderr, "AP %s redirects to a host name, not followed\n", jsonrpc_exchange_of(cl)->ip);
	jsonrpc_redirects = 0;
	if (cl->status_code != 200 && cl->status_code != 204)
		fprintf(stderr, "HTTP error %d\n", cl->status_code);
	ac_diag_http_status(cl->status_code);
}

void jsonrpc_eof_cb(struct achttp_client *cl)
{
	jsonrpc_finish(cl, JSONRPC_END_EOF);
}

void jsonrpc_error_cb(struct achttp_client *cl, int code)
{
	jsonrpc_finish(cl, code);
}

void jsonrpc_finish(struct achttp_client *cl, int code)
{
	jsonrpc_exchange *x = jsonrpc_exchange_of(cl);
	// The client knew the body was whole (an error may still come between that
	// and the end of data): the answer counts.
	if (cl->data_eof && x->rx_len && !x->overflow)
		jsonrpc_handle_body(x);
	uint8_t outcome;
	if (code == JSONRPC_END_EOF) {
		if (!cl->data_eof)
			fputs("Connection reset prematurely\n", stderr);
		outcome = cl->data_eof ? AC_HTTP_NONE : AC_HTTP_RESET;
	} else {
		const char *text = jsonrpc_error_text(cl, code);
		if (text)
			fprintf(stderr, "Connection error: %s%s\n", text, "");
		bool connected = cl->local_addr.sa.sa_family != AF_UNSPEC;
		outcome = code == ACHTTP_ERROR_CONNECT    ? AC_HTTP_CONNECT_FAILED
		          : code == ACHTTP_ERROR_TIMEDOUT ? (connected ? AC_HTTP_TIMED_OUT : AC_HTTP_CONNECT_FAILED)
		                                          : AC_HTTP_FAILED;
	}
	ac_diag_http_end(x->ip, x->id, outcome);
	jsonrpc_exchange_end(x);
}

void jsonrpc_post(const char *url, char *body, const char *ip, int32_t id)
{
	if (jsonrpc_exchange_open(ip, id)) {
		free(body); // the AP has not answered the last one yet
		ac_diag_http_start(true);
		return;
	}
	auto *x = static_cast<jsonrpc_exchange *>(calloc(1, sizeof(jsonrpc_exchange)));
	struct achttp_client *cl = x ? achttp_new(url, &jsonrpc_cb) : nullptr;
	if (!cl) {
		fputs("Failed to allocate uclient context\n", stderr);
		free(x);
		free(body);
		return;
	}
	x->cl = cl;
	snprintf(x->ip, sizeof x->ip, "%s", ip);
	x->id = id;
	x->run = jsonrpc_run;
	poll_run_asked(&jsonrpc_runs, x->run);
	x->started = jsonrpc_now_ms();
	x->in_window = true;
	cl->priv = x;
	list_add_tail(&x->list, &jsonrpc_window);
	jsonrpc_window_count++;
	jsonrpc_exchange **bucket = jsonrpc_bucket(ip, id);
	x->next_open = *bucket;
	*bucket = x;
	jsonrpc_hold_arm();
	ac_diag_http_start(false);

	achttp_set_timeout(cl, JSONRPC_EXCHANGE_LIMIT_MS);
	if (achttp_connect(cl) != 0 || achttp_set_request_type(cl, "POST") != 0) {
		ac_diag_http_end(ip, id, AC_HTTP_CONNECT_FAILED);
		jsonrpc_exchange_end(x);
		free(body);
		return;
	}
	char length[64];
	size_t len = strlen(body);
	snprintf(length, sizeof length, "%d", int(len));
	achttp_set_header(cl, "Content-Type", "application/json");
	achttp_set_header(cl, "Content-Length", length);
	achttp_write(cl, body, int(len));
	achttp_request(cl);
	free(body);
}

unsigned jsonrpc_open_exchanges()
{
	return jsonrpc_window_count + jsonrpc_slow_count;
}

namespace {
// Takes the APs of a new run from the AP list.
bool jsonrpc_run_start()
{
	unsigned n = 0;
	ap_record *ap;
	list_for_each_entry(ap, &aps, list)
		n++;
	jsonrpc_cur.ips = n ? static_cast<char(*)[16]>(malloc(n * sizeof *jsonrpc_cur.ips)) : nullptr;
	if (n && !jsonrpc_cur.ips) {
		puts("malloc error ");
		return false;
	}
	n = 0;
	list_for_each_entry(ap, &aps, list)
		memcpy(jsonrpc_cur.ips[n++], ap->ip, sizeof ap->ip);
	jsonrpc_cur.count = n;
	jsonrpc_cur.pass = 0;
	jsonrpc_cur.at = 0;
	jsonrpc_cur.active = true;
	jsonrpc_run = poll_run_begin(&jsonrpc_runs, n, jsonrpc_now_ms());
	return true;
}

// Every request of the run has gone out (their answers may still come).
void jsonrpc_run_end()
{
	free(jsonrpc_cur.ips);
	jsonrpc_cur.ips = nullptr;
	jsonrpc_cur.active = false;
	poll_run_totals t;
	if (poll_run_sent(&jsonrpc_runs, jsonrpc_run, jsonrpc_now_ms(), &t))
		jsonrpc_run_done(&t);
	jsonrpc_run = 0;
}

// The next request of the run, if any.
void jsonrpc_run_step()
{
	const jsonrpc_request_def &r = jsonrpc_requests[jsonrpc_cur.pass];
	const char *ip = jsonrpc_cur.ips[jsonrpc_cur.at];
	if (++jsonrpc_cur.at == jsonrpc_cur.count) {
		jsonrpc_cur.at = 0;
		jsonrpc_cur.pass++;
	}
	char *body = jsonrpc_request_body(r.id, r.method);
	if (!body) {
		puts(r.id == JSONRPC_ID_PROFILE ? "str == NULL" : "str == NULL ");
		return;
	}
	char url[JSONRPC_URL_SIZE];
	snprintf(url, sizeof url, r.url_format, ip);
	jsonrpc_post(url, body, ip, r.id);
}

// Fills the window from the run; a run that the timer asked for meanwhile
// starts when this one is sent.
void jsonrpc_pump(struct uloop_timeout *)
{
	while (jsonrpc_window_count < JSONRPC_WINDOW && !jsonrpc_full()) {
		if (!jsonrpc_cur.active) {
			if (!jsonrpc_cur.again || !jsonrpc_run_start())
				return;
			jsonrpc_cur.again = false;
		}
		if (jsonrpc_cur.pass == JSONRPC_REQUESTS || !jsonrpc_cur.count) {
			jsonrpc_run_end();
			continue;
		}
		jsonrpc_run_step();
	}
}

// Exchanges that held the window too long leave it and go on outside. When no
// more may be open, the oldest outside that has gone on long enough is given up
// like one that ran out of time, so the run can go on.
void jsonrpc_hold_expired(struct uloop_timeout *)
{
	int64_t now = jsonrpc_now_ms();
	while (!list_empty(&jsonrpc_window)) {
		auto *x = list_first_entry(&jsonrpc_window, jsonrpc_exchange, list);
		if (x->started + JSONRPC_WINDOW_HOLD_MS > now)
			break;
		list_move_tail(&x->list, &jsonrpc_slow);
		x->in_window = false;
		jsonrpc_window_count--;
		jsonrpc_slow_count++;
	}
	while (jsonrpc_full() && !list_empty(&jsonrpc_slow)) {
		auto *x = list_first_entry(&jsonrpc_slow, jsonrpc_exchange, list);
		if (x->started + JSONRPC_SLOW_GIVE_UP_MS > now)
			break;
		jsonrpc_finish(x->cl, ACHTTP_ERROR_TIMEDOUT);
	}
	jsonrpc_pump(nullptr);
	jsonrpc_hold_arm();
}
} // namespace

void apinfo_poll()
{
	jsonrpc_pump_timer.cb = jsonrpc_pump;
	jsonrpc_hold_timer.cb = jsonrpc_hold_expired;
	if (jsonrpc_cur.active) {
		jsonrpc_cur.again = true;
		return;
	}
	if (jsonrpc_run_start())
		jsonrpc_pump(nullptr);
}

void ac_stats_poll()
{
	apinfo_poll();
}
