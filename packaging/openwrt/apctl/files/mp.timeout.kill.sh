#!/bin/sh
# The provisioning window has closed: stop the provisioning DHCP client if it runs.
[ -r /tmp/dhcpc.pid ] && kill "$(cat /tmp/dhcpc.pid)" 2>/dev/null
rm -f /tmp/dhcpc.pid
exit 0
