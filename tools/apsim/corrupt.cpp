// The per-AP switch "corrupt": every vex message the AP sends fails one of the
// controller's checks. "short" (20 bytes), "tlv" (header and 2 bytes),
// "version", "revision", "maclen", "magic" (the header field out of range),
// "type" (message type 99). Anything else, or no switch, sends as built.
#include <cstring>

#include "apsim.hpp"

namespace apsim {

const bytes &corrupted(const Ap &ap, const bytes &msg, bytes &scratch)
{
	const char *how = jstr(ap.conf, "corrupt");
	if (!how || msg.size() < VEX_HDR_LEN)
		return msg;
	scratch = msg;
	if (!strcmp(how, "short"))
		scratch.resize(20);
	else if (!strcmp(how, "tlv"))
		scratch.resize(VEX_HDR_LEN + 2);
	else if (!strcmp(how, "version"))
		vex_put_u16(scratch.data() + VEX_OFF_VERSION, 3);
	else if (!strcmp(how, "revision"))
		vex_put_u16(scratch.data() + VEX_OFF_REVISION, 3);
	else if (!strcmp(how, "maclen"))
		vex_put_u16(scratch.data() + VEX_OFF_MACLEN, 7);
	else if (!strcmp(how, "magic"))
		vex_put_u32(scratch.data() + VEX_OFF_MAGIC, 0x01945AE1);
	else if (!strcmp(how, "type"))
		vex_put_u16(scratch.data() + VEX_OFF_MSGTYPE, 99);
	else
		return msg;
	return scratch;
}

} // namespace apsim
