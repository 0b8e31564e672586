/* Access classes of the packets a peer device is handed, read from the frame alone: the same code
 * runs in the module, the simulator and the target-order unit tests. */
#ifndef QLIX_CLASS_H
#define QLIX_CLASS_H

#include "qlix_compat.h"

enum qlix_ac { QLIX_AC_BK, QLIX_AC_BE, QLIX_AC_VI, QLIX_AC_VO };

/* The bytes of an Ethernet frame the class is read from: up to the IPv4 type of service. */
#define QLIX_CLASS_HDR_LEN	16

int qlix_classify(const u8 *frame, u32 len);

#endif
