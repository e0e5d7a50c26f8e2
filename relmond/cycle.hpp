#pragma once
// The periodic check loop, stopping every relmond, and the upgrade.

// Returns 0 after refusing when the feature is disabled; never returns otherwise.
int relmond_start();
void relmond_stop();
void upgrade_fw();
