/* Category levels from configuration files and the message writer, on categories of this program. */
#include "spine/logging.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <string>

#include "child.h"

LOG4C_CATEGORY(t_cat_a, "spine.a");
LOG4C_CATEGORY(t_cat_b, "spine.b");
LOG4C_CATEGORY(t_cat_bc, "spine.bc");
LOG4C_CATEGORY(t_cat_slash, "spine/x");
LOG4C_CATEGORY(t_cat_dot, ".dot");

namespace {

void reset_levels()
{
	for (struct log4c_category *c : { &t_cat_a, &t_cat_b, &t_cat_bc, &t_cat_slash, &t_cat_dot })
		c->level = LOG_OFF;
}

std::string write_file(const std::string &text)
{
	char path[] = "/tmp/spine-log-XXXXXX";
	int fd = mkstemp(path);
	EXPECT_EQ(write(fd, text.data(), text.size()), (ssize_t)text.size());
	close(fd);
	return path;
}

std::string prefix(pid_t pid)
{
	return std::string(invoke_name()) + "[" + std::to_string(pid) + "]: ";
}

TEST(LoggingConfig, PatternsLevelsAndIgnoredLines)
{
	reset_levels();
	std::string first = write_file("# spine.a = fatal\n"
				       "   # spine.a = fatal\n"
				       "spine.* = trace\n"
				       "spine.b = error\n"
				       "spine.b? = info\n"
				       "\tspine.[ab]c=fatal  \n"
				       "spine.a = Debug\n"
				       "spine.a = invalid\n"
				       "spine.a\n"
				       "= warn\n"
				       "spine.a =\n"
				       "spine* = nonsense\n"
				       "spine/* = debug\n"
				       "*dot = warn\n");
	ASSERT_EQ(logging_apply_file(first.c_str()), 0);
	EXPECT_EQ(t_cat_a.level, LOG_TRACE);
	EXPECT_EQ(t_cat_b.level, LOG_ERROR);
	EXPECT_EQ(t_cat_bc.level, LOG_FATAL);
	/* Neither "/" nor a leading "." is special in the patterns. */
	EXPECT_EQ(t_cat_slash.level, LOG_DEBUG);
	EXPECT_EQ(t_cat_dot.level, LOG_WARN);

	/* A later file overrides. */
	std::string second = write_file("spine.a=off\n");
	ASSERT_EQ(logging_apply_file(second.c_str()), 0);
	EXPECT_EQ(t_cat_a.level, LOG_OFF);
	EXPECT_EQ(logging_apply_file("/nonexistent/spine.conf"), -1);
	unlink(first.c_str());
	unlink(second.c_str());
	reset_levels();
}

TEST(LoggingConfig, OverlongLinesAreDroppedWhole)
{
	/* 1023 characters before the line break is the longest line; the tail of a longer one is not a
	 * line of its own, even when it reads like one. */
	struct Case {
		std::string text;
		int a, b;
	} cases[] = {
		{ std::string(1023 - 15, ' ') + "spine.a = error\n", LOG_ERROR, LOG_OFF },
		{ std::string(1024 - 15, ' ') + "spine.a = error\n", LOG_OFF, LOG_OFF },
		{ "#" + std::string(1022, 'x') + "spine.b = debug\nspine.a = warn\n", LOG_WARN, LOG_OFF },
		{ "#" + std::string(3000, 'x') + "spine.b = debug\nspine.a = warn\n", LOG_WARN, LOG_OFF },
		/* The last line needs no line break, and an over-long last line is dropped too. */
		{ "spine.a = info\n" + std::string(1023 - 15, ' ') + "spine.b = fatal", LOG_INFO, LOG_FATAL },
		{ "spine.a = info\n" + std::string(1024 - 15, ' ') + "spine.b = fatal", LOG_INFO, LOG_OFF },
	};
	for (const Case &c : cases) {
		reset_levels();
		std::string path = write_file(c.text);
		ASSERT_EQ(logging_apply_file(path.c_str()), 0);
		unlink(path.c_str());
		EXPECT_EQ(t_cat_a.level, c.a) << c.text.size();
		EXPECT_EQ(t_cat_b.level, c.b) << c.text.size();
	}
	reset_levels();
}

TEST(LoggingConfig, LevelNamesAreExact)
{
	struct {
		const char *name;
		int level;
	} cases[] = {
		{ "invalid", 0 }, { "trace", 1 }, { "debug", 2 }, { "info", 3 }, { "warn", 4 }, { "error", 5 },
		{ "fatal", 6 }, { "off", 7 }, { "Debug", 0 }, { "OFF", 0 }, { "", 0 }, { "warning", 0 }, { " info", 0 },
	};
	for (const auto &c : cases)
		EXPECT_EQ(logging_str2ll(c.name), c.level) << c.name;
}

TEST(LoggingMessage, LineFormat)
{
	struct Case {
		int cat_level;
		int level;
		const char *msg; /* NULL: no format */
		const char *line; /* after the prefix; NULL: nothing written */
	} cases[] = {
		{ LOG_DEBUG, LOG_INFO, "hello", " info: hello\n" },
		{ LOG_DEBUG, LOG_DEBUG, "already ends\n", "debug: already ends\n" },
		{ LOG_DEBUG, LOG_TRACE, "below", NULL },
		{ LOG_OFF, LOG_FATAL, "off", NULL },
		/* Level 0, as logctl writes for an unknown level name, lets everything through. */
		{ LOG_INVALID, LOG_TRACE, "all", "trace: all\n" },
		{ LOG_TRACE, 9, "odd level", "invalid: odd level\n" },
		{ LOG_ERROR, LOG_ERROR, NULL, "error: \n" },
	};
	for (const Case &c : cases) {
		t_cat_a.level = c.cat_level;
		struct child_result r = run_child(
			[&] {
				if (c.msg)
					__log4c_logging(&t_cat_a, c.level, "%s", c.msg);
				else
					__log4c_logging(&t_cat_a, c.level, NULL);
			},
			true);
		EXPECT_EQ(r.err, c.line ? prefix(r.pid) + c.line : "") << c.msg;
		EXPECT_EQ(r.writes, c.line ? 1 : 0);
	}
	reset_levels();
}

TEST(LoggingMessage, PreparedLineIsTheLoggedOneAndChecksTheLevelWhenWritten)
{
	struct log_prepared p;

	t_cat_a.level = LOG_TRACE;
	struct child_result want = run_child([&] { LOG_E(t_cat_a, "fault %d\n", 11); }, true);
	/* Prepared while the category is off: the level counts when the line is written. */
	t_cat_a.level = LOG_OFF;
	struct child_result r = run_child(
		[&] {
			log_prepare(&p, &t_cat_a, LOG_ERROR, "fault %d\n", 11);
			log_prepared_write(&p);
			t_cat_a.level = LOG_ERROR;
			log_prepared_write(&p);
			t_cat_a.level = LOG_FATAL;
			log_prepared_write(&p);
		},
		true);
	EXPECT_EQ(r.err, prefix(r.pid) + "error: fault 11\n");
	EXPECT_EQ(want.err, prefix(want.pid) + "error: fault 11\n");
	EXPECT_EQ(r.writes, 1);
	reset_levels();
}

TEST(LoggingMessage, CutAtBuffer)
{
	t_cat_a.level = LOG_TRACE;
	std::string big(5000, 'y');
	struct child_result r = run_child([&] { LOG_E(t_cat_a, "%s", big.c_str()); }, true);
	EXPECT_EQ(r.writes, 1);
	ASSERT_EQ(r.err.size(), 4095u);
	EXPECT_EQ(r.err.substr(0, prefix(r.pid).size() + 8), prefix(r.pid) + "error: y");
	reset_levels();
}

TEST(LoggingMessage, DisabledCallEvaluatesNothing)
{
	int evaluated = 0;
	t_cat_a.level = LOG_WARN;
	LOG_I(t_cat_a, "%d", ++evaluated);
	t_cat_a.level = LOG_OFF;
	LOG_F(t_cat_a, "%d", ++evaluated);
	EXPECT_EQ(evaluated, 0);
	reset_levels();
}

TEST(LoggingMessage, ColoursOnATerminal)
{
	static const char *const expected[] = {
		"\x1b[0;36mtrace\x1b[0m: m\n", "\x1b[1;36mdebug\x1b[0m: m\n", "\x1b[0;32m info\x1b[0m: m\n",
		"\x1b[1;32m warn\x1b[0m: m\n", "\x1b[0;31merror\x1b[0m: m\n", "\x1b[1;31mfatal\x1b[0m: m\n",
		"\x1b[0minvalid\x1b[0m: m\n",
	};
	int master, slave;
	ASSERT_EQ(openpty(&master, &slave, NULL, NULL, NULL), 0);
	struct termios tio;
	tcgetattr(slave, &tio);
	cfmakeraw(&tio);
	tcsetattr(slave, TCSANOW, &tio);

	t_cat_a.level = LOG_TRACE;
	fflush(stdout);
	pid_t pid = fork();
	if (pid == 0) {
		dup2(slave, STDERR_FILENO);
		for (int level : { 1, 2, 3, 4, 5, 6, 42 })
			__log4c_logging(&t_cat_a, level, "m");
		_exit(0);
	}
	close(slave);
	std::string out;
	char buf[4096];
	ssize_t n;
	while ((n = read(master, buf, sizeof(buf))) > 0)
		out.append(buf, (size_t)n);
	close(master);
	waitpid(pid, NULL, 0);

	std::string want;
	for (const char *e : expected)
		want += prefix(pid) + e;
	EXPECT_EQ(out, want);
	reset_levels();
}

} // namespace
