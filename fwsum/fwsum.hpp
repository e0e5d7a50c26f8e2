#pragma once
// Writes the checksum of the firmware partition to the checksum file (nothing when the partition
// cannot be opened).
void cal_fw_cksum();

// The whole run; returns the exit status.
int fwsum_main();
