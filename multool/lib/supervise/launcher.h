/* The launcher's services: one entry per loaded service file, each with a periodic timer on the
 * monotonic clock that raises the timer signal carrying the entry's id.  The signal's handler
 * (launcher_on_timer) starts the service; everything else here runs in the main loop with the timer
 * signal blocked, so the handler never sees the list half changed.
 *
 * An entry is known to the timer only by its id, never by its address: an expiry can still be
 * queued when its entry was reloaded or removed (the kernel may keep a pending timer signal past
 * timer_delete), and such an id then finds no entry and is ignored. */
#pragma once

#include <signal.h>
#include <sys/types.h>

/* The timer signal: the first real-time signal. */
int launcher_timer_signal(void);
/* Handler of the timer signal (installed with SA_SIGINFO): starts the service whose id the timer
 * carries.  Anything that is not a timer expiry of a loaded entry is ignored. */
void launcher_on_timer(int sig, siginfo_t *info, void *uctx);
/* Starts the service with this id unless its previous run is alive; what the handler does. */
void launcher_fire(int id);

/* (Re)loads a service file: removes the entries of the path, parses the file, arms the new entry's
 * timer and runs it at once unless it delays its first run.  A running instance of the old entry
 * still blocks runs of the new one.  0, or -1 when the file was refused (reported on stderr). */
int launcher_load(const char *path);
/* Removes every entry of the path and deletes its timer; a run in progress goes on. */
void launcher_remove(const char *path);
/* A child ended: entries that ran it are idle again and their output replaces the output file. */
void launcher_reaped(pid_t pid);
/* Removes every entry. */
void launcher_clear(void);

/* For callers that look at one entry: its id (0 when the path has no entry) and the pid of its
 * running instance (0 when none or no entry). */
int launcher_id_of(const char *path);
pid_t launcher_pid_of(const char *path);
unsigned launcher_count(void);
