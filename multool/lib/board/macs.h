/* The factory daemon's MAC address words over the "art" partition. */
#pragma once

/* Factory MAC addresses: getmacs prints eth0, eth1 and wifi0; setmacs takes the factory daemon's
 * words (program, option, wifi0 MAC, eth0 MAC [, eth1 MAC]) and writes them.  0 or -1. */
int getmacs(void);
int setmacs(int argc, char **argv);
