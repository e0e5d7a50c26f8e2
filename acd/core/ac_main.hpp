#pragma once

// Start-up, the event loop and the three periodic timers. Returns the exit status.
int acd_main();
