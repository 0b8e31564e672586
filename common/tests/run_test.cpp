/* The argv runner. */
#include "common/run.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>
#include <string>

TEST(Run, ArgvReachesTheProgramVerbatim)
{
	const char *argv[] = { "/bin/sh", "-c", "test \"$1\" = 'a b;$(x)'", "sh", "a b;$(x)", NULL };
	int st = run_argv(argv, NULL);
	EXPECT_TRUE(run_ok(st, NULL));

	const char *missing[] = { "/nonexistent/prog", NULL };
	st = run_argv(missing, NULL);
	ASSERT_TRUE(WIFEXITED(st));
	EXPECT_EQ(127, WEXITSTATUS(st));
}

TEST(Run, FeedSurvivesAChildThatStopsReading)
{
	std::string big(1u << 20, 'x');
	struct run_opts o = {};
	o.input = big.data();
	o.input_len = big.size();

	/* The child exits at once: we must neither die of SIGPIPE nor call it a success. */
	const char *quit[] = { "/bin/true", NULL };
	int st = run_argv(quit, &o);
	EXPECT_TRUE(WIFEXITED(st));
	EXPECT_LT(o.fed, big.size());
	EXPECT_FALSE(run_ok(st, &o));

	const char *count[] = { "/bin/sh", "-c", "test $(wc -c) = 1048576", NULL };
	st = run_argv(count, &o);
	EXPECT_EQ(big.size(), o.fed);
	EXPECT_TRUE(run_ok(st, &o));
}

TEST(Run, FeedReachesTheChildWhenOurStdinIsClosed)
{
	/* A daemon may run without fd 0: the pipe then lands on it and must survive into the child. */
	static const char text[] = "hello";
	struct run_opts o = {};
	o.input = text;
	o.input_len = 5;
	int saved = dup(STDIN_FILENO);
	ASSERT_GE(saved, 0);
	close(STDIN_FILENO);
	const char *check[] = { "/bin/sh", "-c", "test \"$(cat)\" = hello", NULL };
	int st = run_argv(check, &o);
	dup2(saved, STDIN_FILENO);
	close(saved);
	EXPECT_TRUE(run_ok(st, &o));
}
