/* The class of an Ethernet frame from its priority field: IPv4 type of service and IPv6 traffic
 * class give it in their top two bits; ARP goes first, since a link that cannot resolve its
 * neighbours carries nothing else.  A frame too short to hold the field, a tagged frame (the tag's
 * own priority is not ours to read) and anything else are background. */
#include "qlix_class.h"

#define QLIX_ETH_TYPE_OFF	12
#define QLIX_TYPE_IPV4		0x0800
#define QLIX_TYPE_ARP		0x0806
#define QLIX_TYPE_IPV6		0x86dd

int qlix_classify(const u8 *frame, u32 len)
{
	if (len < QLIX_ETH_TYPE_OFF + 2)
		return QLIX_AC_BK;
	switch (get_unaligned_be16(frame + QLIX_ETH_TYPE_OFF)) {
	case QLIX_TYPE_IPV4:
		/* version and header length at 14, type of service at 15 */
		return len > 15 ? frame[15] >> 6 : QLIX_AC_BK;
	case QLIX_TYPE_IPV6:
		/* version in the top nibble of 14, the traffic class in its low nibble and on */
		return len > 14 ? (frame[14] >> 2) & 3 : QLIX_AC_BK;
	case QLIX_TYPE_ARP:
		return QLIX_AC_VO;
	}
	return QLIX_AC_BK;
}
