#pragma once

// Start-up, the event loop and the three periodic timers. Returns the exit status.
int acd_main();

// Installs the SIGSEGV handler that hands the restart to
// "/usr/bin/ac-proxy-restart". It runs on a stack of its own, so a stack
// overflow still reaches it. Returns sigaction's result.
int ac_crash_handler_install();
