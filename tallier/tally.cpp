#include "tally.hpp"

#include <cstring>

int32_t tally_diff(uint64_t now, uint64_t last)
{
	return static_cast<int32_t>(static_cast<uint32_t>(now) - static_cast<uint32_t>(last));
}

bool tally_device_init(tally_device *dev, const char *name)
{
	size_t len = strlen(name);
	if (len > tally_name_max)
		return false;
	memset(dev, 0, sizeof(*dev));
	memcpy(dev->name, name, len + 1);
	dev->index = -1;
	return true;
}

void tally_sample(tally_device *dev, const uint64_t values[tally_counters])
{
	for (int c = 0; c < tally_counters; c++) {
		if (dev->index >= 0)
			dev->ring[c][dev->index] = tally_diff(values[c], dev->last[c]);
		dev->last[c] = values[c];
	}
	dev->index = (dev->index + 1) % tally_slots;
}

int32_t tally_entry(const tally_device *dev, int counter, int k)
{
	if (dev->index < 0)
		return 0;
	return dev->ring[counter][(dev->index + k) % tally_slots];
}
