/* The launcher's list and timer handler in this process: an expiry with the id of a reloaded or
 * removed entry starts nothing, the timer carries the live entry's id, a run is skipped while the
 * previous one is alive (also across a reload), the output file is replaced only at reaping, a
 * refused file leaves no entry. */
#include "supervise/launcher.h"

#include "tests/support/tempdir.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>

namespace {

class Launcher : public TempDir {
protected:
	sigset_t saved;
	void SetUp() override
	{
		TempDir::SetUp();
		/* An expiry must never take the default action (end the test) */
		sigset_t block;
		sigemptyset(&block);
		sigaddset(&block, launcher_timer_signal());
		sigprocmask(SIG_BLOCK, &block, &saved);
	}
	/* Runs a failing case left waiting would otherwise hold the suite up. */
	static void kill_children()
	{
		DIR *d = opendir("/proc");
		struct dirent *e;
		char path[300], stat[512];
		while (d && (e = readdir(d))) {
			snprintf(path, sizeof(path), "/proc/%s/stat", e->d_name);
			FILE *f = fopen(path, "r");
			if (!f)
				continue;
			size_t n = fread(stat, 1, sizeof(stat) - 1, f);
			fclose(f);
			stat[n] = '\0';
			const char *rp = strrchr(stat, ')');
			int ppid = 0;
			if (rp && sscanf(rp + 1, " %*c %d", &ppid) == 1 && ppid == getpid())
				kill(atoi(e->d_name), SIGKILL);
		}
		if (d)
			closedir(d);
	}
	void TearDown() override
	{
		launcher_clear();
		kill_children();
		while (waitpid(-1, NULL, 0) > 0)
			;
		/* A timer signal queued before the clear is dropped with its timer on this kernel; take
		 * whatever is left so the next case starts clean. */
		struct timespec zero = { 0, 0 };
		sigset_t rt;
		sigemptyset(&rt);
		sigaddset(&rt, launcher_timer_signal());
		while (sigtimedwait(&rt, NULL, &zero) > 0)
			;
		sigprocmask(SIG_SETMASK, &saved, NULL);
		TempDir::TearDown();
	}
	std::string svc(const std::string &name, const std::string &body)
	{
		std::string path = dir + "/" + name;
		FILE *f = fopen(path.c_str(), "w");
		EXPECT_NE(nullptr, f);
		fputs(("{\"service\":{\"name\":\"" + name + "\"," + body + "}}").c_str(), f);
		fclose(f);
		return path;
	}
	static void expire(int id, int code = SI_TIMER)
	{
		siginfo_t si;
		memset(&si, 0, sizeof(si));
		si.si_signo = launcher_timer_signal();
		si.si_code = code;
		si.si_value.sival_int = id;
		launcher_on_timer(launcher_timer_signal(), &si, NULL);
	}
	static bool no_child()
	{
		return waitpid(-1, NULL, WNOHANG) < 0 && errno == ECHILD;
	}
	/* Waits for the run and hands it to the launcher as the main loop does. */
	static void reap(pid_t pid)
	{
		ASSERT_GT(pid, 0);
		ASSERT_EQ(pid, waitpid(pid, NULL, 0));
		launcher_reaped(pid);
	}
};

} // namespace

TEST_F(Launcher, StaleTimerIdsStartNothing)
{
	std::string log = dir + "/log";
	std::string path = svc("a", "\"exec\":\"echo ran >> " + log + "\",\"period\":\"3600000\",\"delayFirstRun\":true");

	ASSERT_EQ(0, launcher_load(path.c_str()));
	int first = launcher_id_of(path.c_str());
	ASSERT_NE(0, first);
	EXPECT_TRUE(no_child()); /* the first run is delayed */

	ASSERT_EQ(0, launcher_load(path.c_str())); /* rewritten: a new entry, a new id */
	int second = launcher_id_of(path.c_str());
	ASSERT_NE(0, second);
	EXPECT_NE(first, second);
	EXPECT_EQ(1u, launcher_count());

	expire(first);
	EXPECT_EQ(0, launcher_pid_of(path.c_str()));
	EXPECT_TRUE(no_child());

	expire(second, SI_QUEUE); /* the live id, but not from a timer */
	expire(0);
	EXPECT_TRUE(no_child());

	expire(second);
	pid_t pid = launcher_pid_of(path.c_str());
	reap(pid);
	EXPECT_EQ("ran\n", slurp(log));

	launcher_remove(path.c_str());
	EXPECT_EQ(0u, launcher_count());
	expire(second);
	EXPECT_TRUE(no_child());
	EXPECT_EQ("ran\n", slurp(log));
}

TEST_F(Launcher, TimerCarriesTheLiveId)
{
	std::string log = dir + "/log";
	std::string path = svc("t", "\"exec\":\"echo tick >> " + log + "\",\"period\":\"30\",\"delayFirstRun\":true");
	struct sigaction sa, old;
	memset(&sa, 0, sizeof(sa));
	sa.sa_sigaction = launcher_on_timer;
	sa.sa_flags = SA_SIGINFO;
	sigemptyset(&sa.sa_mask);
	ASSERT_EQ(0, sigaction(launcher_timer_signal(), &sa, &old));

	ASSERT_EQ(0, launcher_load(path.c_str()));
	sigset_t wait_mask;
	sigprocmask(SIG_SETMASK, NULL, &wait_mask);
	sigdelset(&wait_mask, launcher_timer_signal());
	for (int i = 0; i < 100 && !launcher_pid_of(path.c_str()); i++)
		sigsuspend(&wait_mask);
	pid_t pid = launcher_pid_of(path.c_str());
	launcher_remove(path.c_str());
	reap(pid);
	sigaction(launcher_timer_signal(), &old, NULL);
	EXPECT_EQ("tick\n", slurp(log));
}

TEST_F(Launcher, OneInstanceAtATimeAcrossReloads)
{
	std::string log = dir + "/log", gate = dir + "/gate";
	ASSERT_EQ(0, mkfifo(gate.c_str(), 0600));
	/* Each run logs and then waits until the test writes to the FIFO. */
	std::string body = "\"exec\":\"echo run >> " + log + "; read x < " + gate + "\",\"period\":\"3600000\"";
	std::string path = svc("s", body);

	ASSERT_EQ(0, launcher_load(path.c_str())); /* runs at once */
	pid_t pid = launcher_pid_of(path.c_str());
	ASSERT_GT(pid, 0);
	expire(launcher_id_of(path.c_str()));
	ASSERT_EQ(pid, launcher_pid_of(path.c_str()));

	ASSERT_EQ(0, launcher_load(path.c_str())); /* the reload would run at once but must not */
	ASSERT_EQ(pid, launcher_pid_of(path.c_str()));
	expire(launcher_id_of(path.c_str()));
	ASSERT_EQ(pid, launcher_pid_of(path.c_str()));

	FILE *g = fopen(gate.c_str(), "w");
	ASSERT_NE(nullptr, g);
	fputs("go\n", g);
	fclose(g);
	reap(pid);
	EXPECT_EQ(0, launcher_pid_of(path.c_str()));
	EXPECT_TRUE(no_child());
	EXPECT_EQ("run\n", slurp(log));
}

TEST_F(Launcher, OutputReplacedWhenTheRunIsReaped)
{
	std::string out = dir + "/out";
	FILE *f = fopen(out.c_str(), "w");
	fputs("old\n", f);
	fclose(f);
	/* It also prints the signals blocked in the command: none, whatever the launcher blocks. */
	std::string path = svc("o", "\"exec\":\"echo new; echo err >&2; while read k v; do [ $k = SigBlk: ] && echo $v; "
				    "done < /proc/self/status\",\"period\":\"3600000\",\"stdout\":\"" + out + "\"");

	mode_t mask = umask(0);
	ASSERT_EQ(0, launcher_load(path.c_str()));
	umask(mask);
	pid_t pid = launcher_pid_of(path.c_str());
	ASSERT_GT(pid, 0);
	ASSERT_EQ(pid, waitpid(pid, NULL, 0));
	EXPECT_EQ("old\n", slurp(out));
	EXPECT_EQ("new\n0000000000000000\n", slurp(out + ".xxx"));
	struct stat st;
	ASSERT_EQ(0, stat((out + ".xxx").c_str(), &st));
	EXPECT_EQ(0644u, st.st_mode & 0777);
	launcher_reaped(pid + 100000); /* someone else's child */
	EXPECT_EQ("old\n", slurp(out));
	launcher_reaped(pid);
	EXPECT_EQ("new\n0000000000000000\n", slurp(out));
	EXPECT_EQ("<missing>", slurp(out + ".xxx"));
}

TEST_F(Launcher, RefusedFilesLeaveNoEntry)
{
	std::string path = svc("r", "\"exec\":\"true\",\"period\":\"3600000\",\"delayFirstRun\":true");
	ASSERT_EQ(0, launcher_load(path.c_str()));
	ASSERT_EQ(1u, launcher_count());

	/* rewritten with a number for the period: the old entry goes too */
	std::string same = svc("r", "\"exec\":\"true\",\"period\":3600000");
	EXPECT_EQ(-1, launcher_load(same.c_str()));
	EXPECT_EQ(0u, launcher_count());

	std::string neg = svc("n", "\"exec\":\"true\",\"period\":\"-5\"");
	EXPECT_EQ(-1, launcher_load(neg.c_str())); /* the timer refuses it */
	EXPECT_EQ(0u, launcher_count());
	EXPECT_EQ(-1, launcher_load((dir + "/none").c_str()));
	EXPECT_TRUE(no_child());
}

TEST_F(Launcher, NewestFirstAndRemovalByPath)
{
	std::string a = svc("a", "\"exec\":\"true\",\"period\":\"3600000\",\"delayFirstRun\":true");
	std::string b = svc("b", "\"exec\":\"true\",\"period\":\"3600000\",\"delayFirstRun\":true");
	ASSERT_EQ(0, launcher_load(a.c_str()));
	ASSERT_EQ(0, launcher_load(b.c_str()));
	EXPECT_EQ(2u, launcher_count());
	EXPECT_LT(launcher_id_of(a.c_str()), launcher_id_of(b.c_str()));
	launcher_remove(a.c_str());
	EXPECT_EQ(0, launcher_id_of(a.c_str()));
	EXPECT_NE(0, launcher_id_of(b.c_str()));
	launcher_remove((dir + "/none").c_str());
	EXPECT_EQ(1u, launcher_count());
}
