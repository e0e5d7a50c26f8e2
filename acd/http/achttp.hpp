#pragma once
// acd's HTTP/1.1 client: one exchange per client on the process's uloop, shaped
// like the platform's uclient (same callback roles) but it sends request bodies
// plain, framed by the caller's Content-Length, which is what the APs accept.
//
// Life of an exchange: achttp_new -> achttp_connect -> request type, headers,
// achttp_write -> achttp_request -> header_done -> data_read (achttp_read until
// it returns 0) -> exactly one of data_eof or error -> achttp_disconnect,
// achttp_free. Callbacks run from the loop, never from inside an achttp_ call,
// and any of them may disconnect and free the client.
#include <netinet/in.h>
#include <sys/socket.h>

extern "C" {

struct achttp_client;

// Error codes given to the error callback. 1 to 3 keep the numbers the callers'
// messages are keyed on; the rest are this client's own.
enum achttp_error {
	ACHTTP_ERROR_UNKNOWN = 0,
	ACHTTP_ERROR_CONNECT = 1,          // no connection, or it failed before an answer began
	ACHTTP_ERROR_SSL_INVALID_CERT = 2, // never raised: no TLS here
	ACHTTP_ERROR_SSL_CN_MISMATCH = 3,  // never raised: no TLS here
	ACHTTP_ERROR_TIMEDOUT = 16,        // the exchange's time limit ran out
	ACHTTP_ERROR_BAD_RESPONSE = 17,    // malformed or oversized answer
	ACHTTP_ERROR_NO_MEMORY = 18,
};

union achttp_addr {
	struct sockaddr sa;
	struct sockaddr_in sin;
	struct sockaddr_in6 sin6;
};

struct achttp_url {
	char *host;     // without brackets for IPv6 literals
	char *port;     // NULL when the URL names none (port 80)
	char *location; // path and query, "/" when the URL has none
};

// Slot order as in the platform's callback table.
struct achttp_cb {
	void (*data_read)(struct achttp_client *cl);
	void (*data_sent)(struct achttp_client *cl);
	void (*data_eof)(struct achttp_client *cl);
	void (*header_done)(struct achttp_client *cl);
	void (*error)(struct achttp_client *cl, int code);
};

struct achttp_client {
	const struct achttp_cb *cb;
	struct achttp_url *url;        // replaced by a followed redirect
	union achttp_addr local_addr;  // filled once connected
	union achttp_addr remote_addr; // the address connected to
	void *priv;                    // the caller's
	bool eof;                      // the exchange is over
	bool data_eof;                 // the whole body arrived (known length or last chunk)
	int error_code;
	int status_code;
};

// NULL for anything but an "http://" URL, or when out of memory. A URL whose
// host is a name, not an address, fails at connect: names are never looked up.
struct achttp_client *achttp_new(const char *url, const struct achttp_cb *cb);
// Starts a non-blocking connect; 0, or -1 for a NULL client. A failed connect
// is reported through the error callback with ACHTTP_ERROR_CONNECT.
int achttp_connect(struct achttp_client *cl);
// GET (default), HEAD, POST, PUT, DELETE, OPTIONS; -1 for another word or once
// the request is sent.
int achttp_set_request_type(struct achttp_client *cl, const char *type);
// Sent in the order added, as given; -1 for a name or value that would break the
// header line, or once the request is sent.
int achttp_set_header(struct achttp_client *cl, const char *name, const char *value);
// Appends body bytes (sent as they are, never chunked); returns len, or -1 once
// the request is sent.
int achttp_write(struct achttp_client *cl, const char *buf, int len);
// Sends the request; 0, or -1 before achttp_connect or when already sent.
int achttp_request(struct achttp_client *cl);
// Copies up to len body bytes; 0 when none are buffered right now.
int achttp_read(struct achttp_client *cl, char *buf, int len);
// Follows a 301, 302, 307 or 308 answer that names an http Location: new URL,
// new connection, the same request again (body included). 1 when followed,
// -1 when the target names its host by name (this client never looks names
// up: the lookup would block the loop), else 0. Call it from header_done.
int achttp_redirect(struct achttp_client *cl);
// Ends the exchange without further callbacks.
void achttp_disconnect(struct achttp_client *cl);
void achttp_free(struct achttp_client *cl);
// Time limit of an exchange in ms, counted from its connect (a followed redirect
// starts a new one); set during an exchange it counts from now. 0 (the default)
// for none.
int achttp_set_timeout(struct achttp_client *cl, int msecs);
// The exchange's socket while it is open (until disconnect or an error), or -1.
int achttp_fd(const struct achttp_client *cl);
// Numeric address text (up to 46 bytes with the NUL) or "Unknown"; the port in
// host order if port is not NULL. Returns dest.
char *achttp_get_addr(char *dest, int *port, const union achttp_addr *a);
}
