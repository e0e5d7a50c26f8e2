#pragma once
// Per-interface traffic history: the device record and its ring arithmetic.
// No sysfs, no loop: the sampler feeds counter values in, replies read entries.
#include <cstddef>
#include <cstdint>

#include "gw/blob.hpp"

constexpr int tally_counters = 4; // rx_bytes, tx_bytes, rx_packets, tx_packets
constexpr int tally_slots = 120;  // seconds of history
constexpr size_t tally_name_max = 15; // the kernel's interface name limit

struct tally_device {
	struct avl_node avl; // keyed by name
	char name[tally_name_max + 1];
	int32_t index; // -1 before the first sample; then the next (and oldest) slot
	uint64_t last[tally_counters];
	int32_t ring[tally_counters][tally_slots];
};

// Step between two readings from the low 32 bits only, modulo 2^32, as a
// signed value: a 64-bit counter passing a multiple of 2^32 still gives the
// small step, and a counter that reads 0 once gives a negative step.
int32_t tally_diff(uint64_t now, uint64_t last);
// A record for an interface seen for the first time (zeroed, index -1); false
// for a name the record cannot hold.
bool tally_device_init(tally_device *dev, const char *name);
// One sample: a difference per counter once the device has a previous reading,
// then the readings become the last values and the index moves on.
void tally_sample(tally_device *dev, const uint64_t values[tally_counters]);
// Entry k of a counter's history, k = 0 the oldest .. 119 the newest.
int32_t tally_entry(const tally_device *dev, int counter, int k);
