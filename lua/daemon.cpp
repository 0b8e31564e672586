/* daemon: the Lua module that detaches a script from its terminal and parent.
 *
 *   local daemon = require "daemon"
 *   local ok, err, errno = daemon.daemonize("nochdir,noclose")
 *
 * Options, separated by ",": nochdir (keep the working directory), noclose (keep open descriptors),
 * nostdfds (leave 0-2 alone), noumask0 (keep the file-creation mask).  The caller and the
 * intermediate child exit with status 255; the detached grandchild gets no values back.  A failed
 * system call returns nil, "<step>: <error text>", errno; an unknown or repeated option raises
 * "bad option: '<name>'".
 *
 * Copied out of the build tree and loaded by the interpreter: it links nothing of ours and takes the
 * Lua API from the interpreter. */
#include <lua.hpp>

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

enum daemon_flag {
	DAEMON_NOCHDIR = 1,
	DAEMON_NOCLOSE = 2,
	DAEMON_NOSTDFDS = 4,
	DAEMON_NOUMASK0 = 8,
};

static const struct {
	const char *name;
	int bit;
} daemon_options[] = {
	{ "nochdir", DAEMON_NOCHDIR },
	{ "noclose", DAEMON_NOCLOSE },
	{ "nostdfds", DAEMON_NOSTDFDS },
	{ "noumask0", DAEMON_NOUMASK0 },
};

#define DAEMON_FALLBACK_OPEN_MAX 8192

/* nil, "<step>: <strerror>", errno: errno is taken before anything else can change it. */
static int daemon_fail(lua_State *L, const char *step)
{
	int err = errno;

	lua_pushnil(L);
	lua_pushfstring(L, "%s: %s", step, strerror(err));
	lua_pushinteger(L, err);
	return 3;
}

static int daemon_parse(lua_State *L, const char *text, size_t len)
{
	/* The copy is Lua's own memory, so the error raised below (a longjmp) cannot leak it. */
	char *copy = (char *)lua_newuserdata(L, len + 1);
	char *save = NULL;
	int flags = 0;

	memcpy(copy, text, len);
	copy[len] = '\0';
	for (char *tok = strtok_r(copy, ",", &save); tok; tok = strtok_r(NULL, ",", &save)) {
		int before = flags;
		for (const auto &o : daemon_options) {
			if (strcmp(tok, o.name) == 0) {
				flags |= o.bit;
				break;
			}
		}
		if (flags == before)
			return luaL_error(L, "bad option: '%s'", tok);
	}
	lua_pop(L, 1);
	return flags;
}

static int daemon_daemonize(lua_State *L)
{
	size_t len = 0;
	const char *text = luaL_optlstring(L, 1, "", &len);
	int flags = daemon_parse(L, text, len);
	pid_t pid;

	pid = fork();
	if (pid < 0)
		return daemon_fail(L, "fork");
	if (pid > 0)
		_exit(-1);
	if (setsid() < 0)
		return daemon_fail(L, "setsid");
	pid = fork();
	if (pid < 0)
		return daemon_fail(L, "fork");
	if (pid > 0)
		_exit(-1);
	if (!(flags & DAEMON_NOUMASK0))
		umask(0);
	if (!(flags & DAEMON_NOCHDIR) && chdir("/") < 0)
		return daemon_fail(L, "chdir");
	if (!(flags & DAEMON_NOCLOSE)) {
		long max = sysconf(_SC_OPEN_MAX);
		if (max == -1)
			max = DAEMON_FALLBACK_OPEN_MAX;
		for (long fd = 0; fd < max; fd++)
			close((int)fd);
	}
	if (flags & DAEMON_NOSTDFDS)
		return 0;
	close(0);
	int fd = open("/dev/null", O_RDWR);
	if (fd != 0) {
		if (fd > 0) {
			/* something else holds 0: a descriptor the caller did not expect */
			close(fd);
			errno = EBADF;
		}
		return daemon_fail(L, "dup2");
	}
	if (dup2(0, 1) != 1 || dup2(0, 2) != 2)
		return daemon_fail(L, "dup2");
	return 0;
}

static const luaL_Reg daemon_functions[] = {
	{ "daemonize", daemon_daemonize },
	{ NULL, NULL },
};

extern "C" __attribute__((visibility("default"))) int luaopen_daemon(lua_State *L)
{
	lua_createtable(L, 0, 1);
#if LUA_VERSION_NUM >= 502
	luaL_setfuncs(L, daemon_functions, 0);
#else
	luaL_register(L, NULL, daemon_functions);
#endif
	return 1;
}
