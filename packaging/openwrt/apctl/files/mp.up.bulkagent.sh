#!/bin/sh
# DHCP client event script for factory provisioning: apply the lease to br-lan.
case "$1" in
bound|renew)
	ip addr flush dev "$interface" 2>/dev/null
	ip addr add "$ip/${mask:-24}" dev "$interface"
	logger -t corvel "provisioning lease $ip on $interface"
	;;
deconfig)
	ip addr flush dev "$interface" 2>/dev/null
	;;
esac
exit 0
