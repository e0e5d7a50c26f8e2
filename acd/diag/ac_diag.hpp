// ac.diag: what acd has seen, for the person on call. Counters since start, a
// small fixed memory of senders whose datagrams failed a check and of AP
// records that were dropped, and the stamps each AP record carries (ap_diag).
// Nothing here allocates; every hook is one call from where things happen.
#pragma once

#include <cstdint>

#include <netinet/in.h>

#include "vex/codec/ap_registry.hpp"

struct poll_run_totals;

// Checks a datagram can fail, in the order acd applies them. The last one
// drops nothing: a response naming an address other than its sender's.
enum ac_diag_check : uint8_t {
	AC_CHK_SHORT,   // shorter than a vex header
	AC_CHK_TLV,     // data after the header too short for one TLV
	AC_CHK_VERSION, // header checks
	AC_CHK_REVISION,
	AC_CHK_MACLEN,
	AC_CHK_MAGIC,
	AC_CHK_TYPE,           // a message type acd does not know
	AC_CHK_PUSH_ADDRESS,   // push result without TLV 4
	AC_CHK_UPLOAD_UNKNOWN, // upload response from an AP not listed
	AC_CHK_ADDRESS,        // response without TLV 4 or naming another address
	AC_CHECKS
};

// How one poll request to one AP ended last.
enum ac_diag_http : uint8_t {
	AC_HTTP_NONE,
	AC_HTTP_STORED,
	AC_HTTP_STATUS_ERROR, // "status is erro  "
	AC_HTTP_NO_DATA,      // accepted, nothing to store
	AC_HTTP_REJECTED,     // "parse josn rpc error 1 "
	AC_HTTP_NOT_JSON,
	AC_HTTP_OVERSIZED,
	AC_HTTP_RESET, // "Connection reset prematurely"
	AC_HTTP_CONNECT_FAILED,
	AC_HTTP_TIMED_OUT,
	AC_HTTP_FAILED, // any other client error
	AC_HTTP_OUTCOMES
};

enum ac_diag_drop_how : uint8_t { AC_DROP_EXPIRED = 1, AC_DROP_CLEARED = 2 };

constexpr unsigned AC_DIAG_SENDERS = 16; // unlisted senders remembered
constexpr unsigned AC_DIAG_DROPPED = 16; // dropped AP records remembered

// The diagnostics clock: monotonic seconds, never 0 (0 marks "never").
int32_t ac_diag_clock();

// --- hooks -------------------------------------------------------------------
// Every datagram of the vex socket, after it was handled (handled: the result
// of KvVexHandleRequest, 0 when it was not reached).
void ac_diag_datagram(const uint8_t *buf, uint32_t length, const struct sockaddr_in *from, int handled);
// Records about to be dropped: by the expiry check at registry time now, or all by all_clear.
void ac_diag_expiring(struct list_head *list, int32_t now);
void ac_diag_clearing(struct list_head *list);
void ac_diag_upload_offer();
// The statistics poll: a run whose exchanges have all ended; exchanges start
// or are skipped because the last one for the same AP and request is still open.
void ac_diag_poll_run(const poll_run_totals *t);
void ac_diag_http_start(bool skipped);
// The HTTP status of an answer (counted when not 200 or 204).
void ac_diag_http_status(int code);
// The outcome of one exchange with the AP at address text ip for request id.
void ac_diag_http_end(const char *ip, int32_t id, uint8_t outcome);
// A body was handled: rc 1 accepted, 0 rejected, -1 not a JSON object.
void ac_diag_answer(const char *ip, int32_t id, int rc);
// A stored answer carried a non-zero status; a reply slot was filled.
void ac_diag_status_error();
void ac_diag_slot(ap_record *ap, int32_t id);

// Starts the clock of "uptime" (once; the bus object is registered after it).
void ac_diag_start();

// --- the logic behind it, with explicit time and list (for tests) -----------
void ac_diag_datagram_at(const uint8_t *buf, uint32_t length, uint32_t addr, int handled, int32_t now,
                         struct list_head *list);
void ac_diag_dropped_at(const ap_record *ap, uint8_t how, int32_t now, int32_t silent);
// The record of a MAC (when mac is set) or an address (network order).
ap_record *ac_diag_find_ap(struct list_head *list, const uint8_t *mac, uint32_t addr);
// The "why" answer for a MAC (when mac is set) or an address (network order)
// into b (restarted). registryNow: the AP registry's clock.
void ac_diag_why_reply(struct blob_buf *b, struct list_head *list, const uint8_t *mac, uint32_t addr,
                       int32_t now, int32_t registryNow);
void ac_diag_status_reply(struct blob_buf *b, struct list_head *list, int32_t now);
void ac_diag_ap_reply(struct blob_buf *b, const ap_record *ap, int32_t now, int32_t registryNow);
// Forgets everything and starts the clock of "uptime" at start (tests).
void ac_diag_reset(int32_t start);
