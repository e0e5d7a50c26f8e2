#include "fw_cksum.hpp"

#include <cstdio>

uint32_t fw_cksum_add(uint32_t sum, const uint8_t *p, std::size_t n)
{
	std::size_t whole = n - n % 4;
	for (std::size_t i = 0; i < whole; i += 4)
		sum += (uint32_t{p[i]} << 24) | (uint32_t{p[i + 1]} << 16) | (uint32_t{p[i + 2]} << 8) |
		       p[i + 3];
	switch (n % 4) {
	case 1:
		sum += static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(p[whole])));
		break;
	case 2:
		sum += (uint32_t{p[whole]} << 24) | (uint32_t{p[whole + 1]} << 16);
		break;
	case 3:
		sum += (uint32_t{p[whole]} << 24) | (uint32_t{p[whole + 1]} << 16) |
		       (uint32_t{p[whole + 2]} << 8);
		break;
	default:
		break;
	}
	return sum;
}

uint32_t fw_cksum_read(fw_cksum_reader rd, void *ctx, uint8_t *buf, std::size_t size)
{
	uint32_t sum = 0;
	long budget = 4;
	long n;
	do {
		n = rd(ctx, buf, size);
		if (n <= 0)
			break;
		sum = fw_cksum_add(sum, buf, static_cast<std::size_t>(n));
		budget -= n;
	} while (budget > 0);
	return sum;
}

fw_cksum_text fw_cksum_format(uint32_t sum)
{
	fw_cksum_text t;
	snprintf(t.s, sizeof(t.s), "0x%08X", static_cast<unsigned>(sum));
	return t;
}
