/* The reset to factory defaults that the discovery responder orders at boot: the capture socket for
 * the trigger frame, the marker that carries an order across one reboot, and the reset itself. */
#pragma once

struct scout;

#define SCOUT_RESET_DIR "/data" /* persistent storage */
#define SCOUT_RESET_MARKER SCOUT_RESET_DIR "/boot_reset"
#define SCOUT_RESET_PROGRAM "/sbin/reset_to_defaults"
#define SCOUT_RESET_LAPSE_S 300

/* A packet socket for IPv4 frames with the trigger filter attached, emptied of what queued before the
 * filter was in place: the descriptor, or -1 (logged). */
int scout_capture_open(void);
/* Reads one frame; the trigger arms the reset and ends the loop with status 0. */
void scout_capture_serve(struct scout *s);

/* Creates the marker and flushes it to storage, then leaves a child that removes it after five
 * minutes, so the order lapses unless the device reboots before.  0, or -1 (logged) when the marker
 * could not be made to last: no reset is ordered then. */
int scout_reset_arm(void);
/* Whether an order is pending (the marker exists). */
int scout_reset_pending(void);
/* Runs the reset program: the exit status to end with. */
int scout_reset_perform(void);
