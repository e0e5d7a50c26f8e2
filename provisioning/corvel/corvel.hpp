#pragma once
// Factory-provisioning listener: waits for a hello on the LAN, then hands over to the scripts.

// Listening socket on the group of br-lan, not yet bound; -1 on failure (reported).
int create_socket();

// Closes the socket, waits until the boot window is over and runs the time-out script; exit status.
int wait_and_kill(int sock);

// The whole run; returns the exit status.
int corvel_main();
