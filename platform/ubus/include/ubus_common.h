/*
 * Bits shared by the bus daemon, the client library and the command line.
 */
#ifndef UBUS_HOST_UBUS_COMMON_H
#define UBUS_HOST_UBUS_COMMON_H

/* compiled-in default socket */
#define UBUS_UNIX_SOCKET "/var/run/ubus.sock"

#ifndef ARRAY_SIZE
#define ARRAY_SIZE(x) (sizeof(x) / sizeof((x)[0]))
#endif

#endif
