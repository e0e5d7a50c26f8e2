// Statistics poll runs: a run is complete when it has started all its
// exchanges and the last of them has ended. Pure bookkeeping; the caller passes
// the time and announces what completes.
#pragma once

#include <cstdint>

// Exchanges end within 25 s and a run starts every 10 s: a few runs overlap.
// A run still open when its slot comes round again is forgotten.
constexpr unsigned POLL_RUN_SLOTS = 4;

struct poll_run_totals {
	unsigned aps;      // APs in the list when the run started
	unsigned asked;    // requests it sent
	unsigned answered; // ...answered with an answer that was accepted
	unsigned failed;   // ...that ended without one
	uint32_t ms;       // from the start of the run to the end of its last exchange
};

struct poll_run {
	uint32_t id; // 0: free
	bool sending;
	unsigned open;
	int64_t startMs;
	poll_run_totals t;
};

struct poll_run_book {
	poll_run runs[POLL_RUN_SLOTS];
	uint32_t lastId;
};

// A run starts; returns its id (never 0).
uint32_t poll_run_begin(poll_run_book *b, unsigned aps, int64_t nowMs);
// The run started one more exchange.
void poll_run_asked(poll_run_book *b, uint32_t id);
// The run has started all its exchanges / one of them ended. True when the run
// is complete with that; *out then holds its totals and the run is forgotten.
bool poll_run_sent(poll_run_book *b, uint32_t id, int64_t nowMs, poll_run_totals *out);
bool poll_run_ended(poll_run_book *b, uint32_t id, bool answered, int64_t nowMs, poll_run_totals *out);
