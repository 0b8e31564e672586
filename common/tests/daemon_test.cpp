/* The daemon toolkit: waits that survive signals and end on the stop flag, timers, the pid file. */
#include "common/daemon.h"

#include "common/fileio.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>

static volatile sig_atomic_t stop_flag;
static volatile sig_atomic_t hits;

static void count_only(int)
{
	hits = hits + 1;
}

static void count_and_stop(int)
{
	hits = hits + 1;
	stop_flag = 1;
}

/* Sends sig to the calling thread after ms, from another thread. */
static std::thread signal_later(int sig, int ms)
{
	pthread_t target = pthread_self();
	return std::thread([=] {
		usleep((useconds_t)ms * 1000);
		pthread_kill(target, sig);
	});
}

TEST(Signals, HandlersDoNotRestartBlockingCalls)
{
	int p[2];
	char c;
	ASSERT_EQ(0, pipe(p));
	ASSERT_EQ(0, signal_on(SIGUSR1, count_only));
	hits = 0;
	std::thread t = signal_later(SIGUSR1, 50);
	EXPECT_EQ(-1, read(p[0], &c, 1));
	EXPECT_EQ(EINTR, errno);
	t.join();
	EXPECT_EQ(1, hits);
	const int sigs[] = { SIGUSR1, SIGUSR2 };
	EXPECT_EQ(0, signals_on(sigs, ARRAY_SIZE(sigs), SIG_DFL));
	EXPECT_EQ(-1, signal_on(SIGKILL, count_only));
	close(p[0]);
	close(p[1]);
}

TEST(Wait, SignalsWithoutStopDoNotEndTheWait)
{
	int p[2];
	ASSERT_EQ(0, pipe(p));
	struct pollfd pfd = { p[0], POLLIN, 0 };
	signal_on(SIGUSR1, count_only);
	stop_flag = 0;
	hits = 0;
	uint64_t t0 = mono_ms();
	std::thread t = signal_later(SIGUSR1, 30);
	EXPECT_EQ(0, wait_fds(&pfd, 1, 200, &stop_flag)); /* the time-out, not the signal, ends it */
	t.join();
	EXPECT_EQ(1, hits);
	EXPECT_GE(mono_ms() - t0, 195u);

	/* data that arrives after a signal is still seen */
	std::thread t2 = signal_later(SIGUSR1, 20);
	std::thread w([&] {
		usleep(60000);
		ASSERT_EQ(1, write(p[1], "x", 1));
	});
	EXPECT_EQ(1, wait_fds(&pfd, 1, -1, &stop_flag));
	t2.join();
	w.join();
	close(p[0]);
	close(p[1]);
}

TEST(Wait, StopFlagEndsWaitAndSleep)
{
	int p[2];
	ASSERT_EQ(0, pipe(p));
	struct pollfd pfd = { p[0], POLLIN, 0 };
	signal_on(SIGUSR1, count_and_stop);
	stop_flag = 0;
	uint64_t t0 = mono_ms();
	std::thread t = signal_later(SIGUSR1, 30);
	EXPECT_EQ(0, wait_fds(&pfd, 1, -1, &stop_flag));
	t.join();
	EXPECT_LT(mono_ms() - t0, 2000u);

	stop_flag = 0;
	t0 = mono_ms();
	std::thread t2 = signal_later(SIGUSR1, 30);
	sleep_ms(5000, &stop_flag);
	t2.join();
	EXPECT_LT(mono_ms() - t0, 2000u);

	/* a signal that does not stop leaves the whole sleep */
	signal_on(SIGUSR1, count_only);
	stop_flag = 0;
	t0 = mono_ms();
	std::thread t3 = signal_later(SIGUSR1, 20);
	sleep_ms(150, &stop_flag);
	t3.join();
	EXPECT_GE(mono_ms() - t0, 148u);
	close(p[0]);
	close(p[1]);
}

TEST(Timers, EarliestArmedDeadline)
{
	struct mono_timer a = { 0 }, b = { 0 }, c = { 0 };
	const struct mono_timer *all[] = { &a, &b, &c };
	EXPECT_EQ(-1, timers_wait_ms(all, 3, 1000));
	timer_arm(&a, 1000, 500);
	timer_arm(&b, 1000, 200);
	EXPECT_EQ(200, timers_wait_ms(all, 3, 1000));
	EXPECT_FALSE(timer_expired(&b, 1199));
	EXPECT_TRUE(timer_expired(&b, 1200));
	EXPECT_EQ(0, timers_wait_ms(all, 3, 1300)); /* one overdue */
	timer_stop(&b);
	EXPECT_EQ(200, timers_wait_ms(all, 3, 1300));
	EXPECT_FALSE(timer_expired(&c, 1u << 30));
	timer_arm(&c, 0, 0); /* due at once, and still armed */
	EXPECT_TRUE(timer_expired(&c, 1));
}

TEST(PidFile, OwnerRunsTheSameProgramFile)
{
	char dir[] = "/tmp/pidfile-XXXXXX";
	ASSERT_NE(nullptr, mkdtemp(dir));
	std::string path = std::string(dir) + "/d.pid";

	EXPECT_EQ(0, pidfile_owner(path.c_str())); /* no file */
	ASSERT_EQ(0, pidfile_write(path.c_str()));
	EXPECT_EQ(getpid(), pidfile_owner(path.c_str()));
	EXPECT_NE(0, access((path + ".tmp").c_str(), F_OK));

	/* a live process running another program file */
	pid_t child = fork();
	if (child == 0) {
		execl("/bin/sleep", "sleep", "5", (char *)NULL);
		_exit(127);
	}
	usleep(100000);
	std::string text = std::to_string(child) + "\n";
	ASSERT_EQ(0, write_replace(path.c_str(), ".tmp", text.data(), text.size(), 0644, 0));
	EXPECT_EQ(0, pidfile_owner(path.c_str()));
	kill(child, SIGKILL);
	waitpid(child, NULL, 0);
	EXPECT_EQ(0, pidfile_owner(path.c_str())); /* gone */

	for (const char *bad : { "", "abc\n", "-1\n", "12x\n", "99999999999\n" }) {
		ASSERT_EQ(0, write_replace(path.c_str(), ".tmp", bad, strlen(bad), 0644, 0));
		EXPECT_EQ(0, pidfile_owner(path.c_str())) << bad;
	}
	std::string cmd = std::string("rm -rf ") + dir;
	ASSERT_EQ(0, system(cmd.c_str()));
}
