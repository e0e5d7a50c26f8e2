#include "stats/poll_run.hpp"

#include <cstring>

namespace {
poll_run *poll_run_find(poll_run_book *b, uint32_t id)
{
	poll_run *r = &b->runs[id % POLL_RUN_SLOTS];
	return id && r->id == id ? r : nullptr;
}

bool poll_run_check(poll_run *r, int64_t nowMs, poll_run_totals *out)
{
	if (r->sending || r->open)
		return false;
	*out = r->t;
	out->failed = r->t.asked - r->t.answered;
	out->ms = nowMs > r->startMs ? uint32_t(nowMs - r->startMs) : 0;
	r->id = 0;
	return true;
}
} // namespace

uint32_t poll_run_begin(poll_run_book *b, unsigned aps, int64_t nowMs)
{
	if (!++b->lastId)
		b->lastId = 1;
	poll_run *r = &b->runs[b->lastId % POLL_RUN_SLOTS];
	memset(r, 0, sizeof *r);
	r->id = b->lastId;
	r->sending = true;
	r->startMs = nowMs;
	r->t.aps = aps;
	return r->id;
}

void poll_run_asked(poll_run_book *b, uint32_t id)
{
	if (poll_run *r = poll_run_find(b, id)) {
		r->t.asked++;
		r->open++;
	}
}

bool poll_run_sent(poll_run_book *b, uint32_t id, int64_t nowMs, poll_run_totals *out)
{
	poll_run *r = poll_run_find(b, id);
	if (!r)
		return false;
	r->sending = false;
	return poll_run_check(r, nowMs, out);
}

bool poll_run_ended(poll_run_book *b, uint32_t id, bool answered, int64_t nowMs, poll_run_totals *out)
{
	poll_run *r = poll_run_find(b, id);
	if (!r || !r->open)
		return false;
	r->open--;
	if (answered)
		r->t.answered++;
	return poll_run_check(r, nowMs, out);
}
