/* Fatal exits, setters, hex dump, command status, parent directories and the shared socket. */
#include "platform/procfs.h"
#include "spine/logging.h"
#include "spine/utils.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "child.h"

namespace {

std::string self_name()
{
	return invoke_name() ? invoke_name() : "";
}

TEST(Die, MessageFormats)
{
	std::string p = self_name() + ": ";
	struct Case {
		std::function<void()> fn;
		std::string expected;
	} cases[] = {
		{ [] { die("boom %d", 3); }, p + "boom 3\n" },
		{ [] { die("ends with break\n"); }, p + "ends with break\n" },
		{ [] { errno = ENOENT; die_errno("open %s\n", "x"); }, p + "open x: No such file or directory (2)\n" },
		{ [] { errno = EACCES; die_errno("no break"); }, p + "no break: Permission denied (13)\n" },
		/* Only one trailing break is dropped. */
		{ [] { errno = EIO; die_errno("two\n\n"); }, p + "two\n: Input/output error (5)\n" },
		{ [] { errno = 0; die_errno("no error\n"); }, p + "no error\n" },
		{ [] { set_coe(-1); }, p + "cannot set FD_CLOEXEC flag.\n" },
		{ [] { set_nonblock(-1); }, p + "cannot set O_NONBLOCK flags.\n" },
		{ [] { int fds[2]; (void)!pipe(fds); set_reuseaddr(fds[0]); },
		  p + "setsockopt(SO_REUSEADDR) failed: Socket operation on non-socket (88)\n" },
		{ [] { set_v6only(socket(AF_INET, SOCK_DGRAM, 0)); },
		  p + "setsockopt(IPV6_V6ONLY) failed: Protocol not available (92)\n" },
		{ [] { hexdump("ab", 2, 0x6000); }, p + "__hexdump(): invalid 6000 flags given\n" },
	};
	for (const Case &c : cases) {
		struct child_result r = run_child(c.fn);
		EXPECT_EQ(r.status, 1) << c.expected;
		EXPECT_EQ(r.err, c.expected);
	}
}

TEST(Die, CutsAtBufferAndWritesOnce)
{
	std::string big(5000, 'x');
	struct child_result r = run_child([&] { die("%s", big.c_str()); }, true);
	EXPECT_EQ(r.status, 1);
	/* One datagram per write: the whole message went out in one piece, cut to the buffer. */
	EXPECT_EQ(r.writes, 1);
	ASSERT_EQ(r.err.size(), 4095u);
	EXPECT_EQ(r.err.substr(0, self_name().size() + 3), self_name() + ": x");
}

TEST(Setters, SetFlags)
{
	int fds[2];
	ASSERT_EQ(pipe(fds), 0);
	set_coe(fds[0]);
	EXPECT_TRUE(fcntl(fds[0], F_GETFD) & FD_CLOEXEC);
	set_nonblock(fds[1]);
	EXPECT_TRUE(fcntl(fds[1], F_GETFL) & O_NONBLOCK);
	close(fds[0]);
	close(fds[1]);

	int on = 0;
	socklen_t len = sizeof(on);
	int s4 = socket(AF_INET, SOCK_STREAM, 0);
	set_reuseaddr(s4);
	ASSERT_EQ(getsockopt(s4, SOL_SOCKET, SO_REUSEADDR, &on, &len), 0);
	EXPECT_EQ(on, 1);
	close(s4);

	int s6 = socket(AF_INET6, SOCK_STREAM, 0);
	if (s6 >= 0) {
		on = 0;
		set_v6only(s6);
		ASSERT_EQ(getsockopt(s6, IPPROTO_IPV6, IPV6_V6ONLY, &on, &len), 0);
		EXPECT_EQ(on, 1);
		close(s6);
	}
}

std::string dump(const void *data, size_t len, unsigned flags)
{
	char *text = NULL;
	size_t size = 0;
	FILE *f = open_memstream(&text, &size);
	fhexdump(f, data, len, flags);
	fclose(f);
	std::string s(text, size);
	free(text);
	return s;
}

TEST(Hexdump, Layouts)
{
	uint8_t seq[40];
	for (int i = 0; i < 40; i++)
		seq[i] = (uint8_t)i;
	struct Case {
		const char *data;
		size_t len;
		unsigned flags;
		const char *expected;
	} cases[] = {
		/* 16 bytes a line by default; the short last line is padded to the full width. */
		{ (const char *)seq, 20, 0,
		  "00000000: 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F \n"
		  "00000010: 10 11 12 13                                     \n" },
		/* Characters column, non-printables as dots. */
		{ "AB\x01" "CD\xff\x7f", 7, HEXDUMP_ASCII | 4,
		  "00000000: 41 42 01 43 |AB.C|\n"
		  "00000004: 44 FF 7F    |D..|\n" },
		/* Groups are read in memory (board) order; a partial last group shows what it has. */
		{ "\x01\x02\x03\x04\x05", 5, HEXDUMP_HALF | 2,
		  "00000000: 0102 0304 \n"
		  "00000004: 05        \n" },
		{ "\xde\xad\xbe\xef\x01\x02\x03\x04", 8, HEXDUMP_WORD | 4,
		  "00000000: DEADBEEF 01020304                   \n" },
		{ "\xaa", 1, HEXDUMP_BYTE | 1, "00000000: AA \n" },
		/* More than 32 a line means 32. */
		{ (const char *)seq, 40, 40,
		  "00000000: 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10 11 12 13 14 15 16 17 18 19 1A "
		  "1B 1C 1D 1E 1F \n"
		  "00000020: 20 21 22 23 24 25 26 27                                                           "
		  "              \n" },
		{ "", 0, 0, "" },
	};
	for (const Case &c : cases)
		EXPECT_EQ(dump(c.data, c.len, c.flags), c.expected) << c.flags;
}

TEST(SystemStatus, ReportsFailuresOnly)
{
	struct Case {
		int status;
		int rc;
		const char *expected;
	} cases[] = {
		{ system("exit 3"), -1, "'cmd' failed,  exit status: '3'\n" },
		{ system("kill -TERM $$"), -1, "'cmd' failed, terminated by 'Terminated'\n" },
		{ system("exit 0"), 0, "" },
		{ 0x137f /* stopped by SIGSTOP */, 0, "" },
	};
	for (const Case &c : cases) {
		int rc = 99;
		struct child_result r = run_child([&] {
			rc = system_status("cmd", c.status);
			fflush(stderr);
			_exit(rc == c.rc ? 0 : 2);
		});
		EXPECT_EQ(r.status, 0) << c.expected;
		EXPECT_EQ(r.err, c.expected);
	}
}

TEST(CreatePath, OneLevel)
{
	char tmpl[] = "/tmp/spine-path-XXXXXX";
	ASSERT_TRUE(mkdtemp(tmpl));
	std::string base = tmpl;
	mode_t old = umask(022);

	EXPECT_EQ(create_path((base + "/a/file").c_str()), 0);
	struct stat st;
	ASSERT_EQ(stat((base + "/a").c_str(), &st), 0);
	EXPECT_TRUE(S_ISDIR(st.st_mode));
	EXPECT_EQ(st.st_mode & 07777, 0755u);
	/* An existing parent is what the caller asked for. */
	EXPECT_EQ(create_path((base + "/a/other").c_str()), 0);
	/* Only one level is created. */
	EXPECT_EQ(create_path((base + "/b/c/file").c_str()), -1);
	EXPECT_EQ(errno, ENOENT);
	EXPECT_EQ(create_path("file-without-parent"), 0);

	umask(old);
	EXPECT_EQ(system(("rm -rf " + base).c_str()), 0);
}

TEST(IoctlSocket, SharedUntilClosed)
{
	int s = ioctl_socket();
	ASSERT_GE(s, 0);
	EXPECT_EQ(ioctl_socket(), s);
	int domain = 0, type = 0;
	socklen_t len = sizeof(int);
	getsockopt(s, SOL_SOCKET, SO_DOMAIN, &domain, &len);
	getsockopt(s, SOL_SOCKET, SO_TYPE, &type, &len);
	EXPECT_EQ(domain, AF_INET);
	EXPECT_EQ(type, SOCK_STREAM);
	ioctl_close();
	EXPECT_EQ(fcntl(s, F_GETFD), -1);
	int again = ioctl_socket();
	EXPECT_GE(again, 0);
	ioctl_close();
}

TEST(ProcPaths, OverridesOnlyTheKernelTables)
{
	char dir[] = "/tmp/proc-override-XXXXXX";
	char buf[256], file[300];
	ASSERT_NE(mkdtemp(dir), nullptr);
	snprintf(file, sizeof(file), "%s/net", dir);
	ASSERT_EQ(mkdir(file, 0755), 0);
	for (const char *rel : { "mtd", "net/dev", "stat" }) {
		snprintf(file, sizeof(file), "%s/%s", dir, rel);
		fclose(fopen(file, "w"));
	}

	unsetenv("MT_PROC_DIR");
	EXPECT_STREQ(proc_path("mtd", buf, sizeof(buf)), "/proc/mtd");
	setenv("MT_PROC_DIR", dir, 1);
	snprintf(file, sizeof(file), "%s/mtd", dir);
	EXPECT_STREQ(proc_path("mtd", buf, sizeof(buf)), file);
	snprintf(file, sizeof(file), "%s/net/dev", dir);
	EXPECT_STREQ(proc_path("net/dev", buf, sizeof(buf)), file);
	// Not held by the override: the real file.
	EXPECT_STREQ(proc_path("net/snmp", buf, sizeof(buf)), "/proc/net/snmp");
	// Held, but not a kernel table: never overridden.
	EXPECT_STREQ(proc_path("stat", buf, sizeof(buf)), "/proc/stat");
	unsetenv("MT_PROC_DIR");

	for (const char *rel : { "mtd", "net/dev", "stat", "net" }) {
		snprintf(file, sizeof(file), "%s/%s", dir, rel);
		remove(file);
	}
	rmdir(dir);
}

} // namespace
