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

TEST(Run, StandardInputOutputFromAndToFiles)
{
	char dir[] = "/tmp/run-test-XXXXXX";
	ASSERT_NE(mkdtemp(dir), nullptr);
	std::string in = std::string(dir) + "/in", out = std::string(dir) + "/out";
	FILE *f = fopen(in.c_str(), "w");
	fputs("from a file\n", f);
	fclose(f);
	f = fopen(out.c_str(), "w");
	fputs("old content that is longer than the new one\n", f);
	fclose(f);

	struct run_opts o = {};
	o.stdin_path = in.c_str();
	o.stdout_path = out.c_str();
	const char *cat[] = { "/bin/cat", NULL };
	EXPECT_TRUE(run_ok(run_argv(cat, &o), &o));
	char buf[64] = {};
	f = fopen(out.c_str(), "r");
	size_t n = fread(buf, 1, sizeof(buf) - 1, f);
	fclose(f);
	EXPECT_EQ(std::string(buf, n), "from a file\n") << "the output file is replaced, not appended to";

	o.stdin_path = "/nonexistent/in";
	int st = run_argv(cat, &o);
	EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 127) << "an input that cannot be opened fails the run";
	std::string cmd = std::string("rm -rf ") + dir;
	EXPECT_EQ(system(cmd.c_str()), 0);
}

TEST(Run, OutputCollectedAndBounded)
{
	char small[8];
	struct run_opts o = {};
	o.output = small;
	o.output_size = sizeof(small);
	/* far more than the buffer and the pipe hold: the child must not block on a full pipe */
	const char *lots[] = { "/bin/sh", "-c", "echo 0123456789abcdef; head -c 300000 /dev/zero", NULL };
	int st = run_argv(lots, &o);
	EXPECT_TRUE(run_ok(st, &o));
	EXPECT_EQ(o.output_len, 7u);
	EXPECT_STREQ(small, "0123456");

	const char *none[] = { "/bin/true", NULL };
	EXPECT_TRUE(run_ok(run_argv(none, &o), &o));
	EXPECT_EQ(o.output_len, 0u);
	EXPECT_STREQ(small, "");
}
