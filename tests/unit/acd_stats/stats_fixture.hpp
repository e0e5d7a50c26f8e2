// An AP list of the test's own, answers delivered as the exchange would deliver
// them, and stored answers and replies rendered as JSON text.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "gw/blob.hpp"
#include "vex/codec/ap_registry.hpp"

struct stats_list : ::testing::Test {
	struct list_head aps;

	void SetUp() override;
	void TearDown() override;

	// A record with address text ip and MAC 02:00:00:00:00:<n>.
	ap_record *add_ap(const char *ip, uint8_t n);
	// Parses body as the exchange does and stores it from peer; the result of
	// jsonrpc_store_answer, or -1 when the body is not a JSON object.
	int deliver(const char *peer, const std::string &body);
	// Same, but returns what it printed on standard output.
	std::string deliver_out(const char *peer, const std::string &body, int *rc = nullptr);
	// The stored answer of an AP as compact JSON, or "-" when the slot is empty.
	std::string slot_json(const ap_record *ap, int32_t id);
};

// The contents of a reply buffer as compact JSON.
std::string reply_json(struct blob_buf *b);
// An answer {"jsonrpc":"2.0","id":<id>,"result":<result>}.
std::string answer(int id, const std::string &result);
