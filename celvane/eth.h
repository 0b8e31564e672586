/* The wired interface's address, which names the device to the cloud. */
#pragma once

#include <stdint.h>

/* 0 and the MAC address of eth0, or -1. */
int eth0_mac(uint8_t mac[6]);
/* "00:11:22:aa:bb:cc" of eth0 into buf (18 bytes): 0, or -1. */
int eth0_mac_text(char buf[18]);
