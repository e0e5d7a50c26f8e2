#!/bin/sh
# Installs the Debian packages listed in the given files that are missing.
# Only as root; otherwise it just names what is missing.
set -e
want=$(cat "$@" | sed 's/#.*//' | tr -s ' \t' '\n' | sed '/^$/d' | sort -u)
missing=""
for p in $want; do
	dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" != 0 ]; then
	echo "missing Debian packages (install them as root):$missing" >&2
	exit 1
fi
echo "installing:$missing"
export DEBIAN_FRONTEND=noninteractive
# Packages that carry a daemon (tftpd-hpa) must not start it on this machine.
printf '#!/bin/sh\nexit 101\n' > /usr/sbin/policy-rc.d.apctl
policy=/usr/sbin/policy-rc.d
cleanup=""
if [ ! -e "$policy" ]; then cp /usr/sbin/policy-rc.d.apctl "$policy"; chmod +x "$policy"; cleanup=1; fi
rm -f /usr/sbin/policy-rc.d.apctl
apt-get update -qq || true
apt-get install -y -qq --no-install-recommends $missing
[ -n "$cleanup" ] && rm -f "$policy"
exit 0
