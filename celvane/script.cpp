/* The Lua scripts behind the payloads: each file returns a function, called with the agent state as
 * compact JSON and string arguments, returning one string.  Every run gets a fresh interpreter: the
 * main loop and the MQTT thread both run scripts, and one state must never be shared by two threads. */
#include "agent.h"

#include <errno.h>
#include <libgen.h>
#include <lua.hpp>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#define LAST_MESSAGES "/tmp/celvane_last_messages/"

static char *call(lua_State *L, const char *state, const char *const *args, size_t nargs)
{
	size_t len;

	if (!lua_isfunction(L, -1)) {
		cv_log(0, "Lua error: %s\n", "Not function");
		return NULL;
	}
	lua_pushstring(L, state);
	for (size_t i = 0; i < nargs; i++)
		lua_pushstring(L, args[i]);
	if (lua_pcall(L, (int)nargs + 1, 1, 0) != LUA_OK) {
		cv_log(0, "Lua error: %s\n", lua_tostring(L, -1));
		return NULL;
	}
	if (!lua_isstring(L, -1)) {
		cv_log(0, "Lua error: run() return is not of a string type\n");
		return NULL;
	}
	const char *s = lua_tolstring(L, -1, &len);
	char *copy = (char *)malloc(len + 1);
	if (copy) {
		memcpy(copy, s, len);
		copy[len] = '\0';
	}
	return copy;
}

char *script_run(const char *path, const char *const *args, size_t nargs)
{
	char *state = state_json();
	char *result = NULL;
	lua_State *L;

	if (!state)
		return NULL;
	L = luaL_newstate();
	if (!L) {
		cv_log(0, "Lua error: %s\n", "cannot create a state");
		free(state);
		return NULL;
	}
	luaL_openlibs(L);
	if (luaL_loadfilex(L, path, NULL) != LUA_OK || lua_pcall(L, 0, 1, 0) != LUA_OK)
		cv_log(0, "Lua error: %s\n", lua_tostring(L, -1));
	else
		result = call(L, state, args, nargs);
	lua_settop(L, 0);
	lua_close(L);
	free(state);
	return result;
}

/* At verbosity 2 and up every JSON result is kept as <script>.json for whoever debugs the device. */
static void dump_last(const char *path, json_t *doc)
{
	struct stat st;
	char name[256], file[512];

	if (stat(LAST_MESSAGES, &st) < 0) {
		if (errno != ENOENT) {
			cv_log(0, "Directory failed to open error: %s\n", strerror(errno));
			return;
		}
		if (mkdir(LAST_MESSAGES, 0777) < 0 && errno != EEXIST) {
			cv_log(0, "Make directory error: %s\n", strerror(errno));
			return;
		}
		chmod(LAST_MESSAGES, 0777);
	}
	snprintf(name, sizeof(name), "%s", path);
	char *base = basename(name);
	char *dot = strrchr(base, '.');
	if (dot && strcmp(dot, ".lua") == 0)
		*dot = '\0';
	snprintf(file, sizeof(file), "%s%s.json", LAST_MESSAGES, base);
	if (save_json_file(file, doc) < 0)
		cv_log(0, "JSON dump error: %s\n", strerror(errno));
}

json_t *script_json(const char *path, const char *const *args, size_t nargs)
{
	char *text = script_run(path, args, nargs);
	json_error_t err;
	json_t *doc;

	if (!text)
		return NULL;
	doc = json_loads(text, 0, &err);
	free(text);
	if (!doc) {
		cv_log(0, "JSON error: %s\n", err.text);
		return NULL;
	}
	if (!json_is_object(doc)) {
		cv_log(0, "JSON error: %s\n", "not an object");
		json_decref(doc);
		return NULL;
	}
	if (agent_verbosity.load() > 1)
		dump_last(path, doc);
	return doc;
}
