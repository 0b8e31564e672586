/* multool: one program, many applets, chosen by the name it was started under. */
#include "spine/applet.h"
#include "spine/logging.h"

#include <stdio.h>
#include <string.h>

static const char *last_component(const char *path)
{
	const char *slash = strrchr(path, '/');
	return slash ? slash + 1 : path;
}

static const struct applet *find_applet(const char *name)
{
	for (const struct applet *a = __start_applet; a < __stop_applet; a++)
		if (strcmp(a->name, name) == 0)
			return a;
	return NULL;
}

static int unknown_applet(const char *name)
{
	size_t count = (size_t)(__stop_applet - __start_applet);

	fprintf(stderr, "multool: applet '%s' not found.\n", name);
	for (size_t i = 0; i < count; i++) {
		if (i && i % 4 == 0)
			fputc('\n', stderr);
		fprintf(stderr, "%s ", __start_applet[i].name);
	}
	fprintf(stderr, "\ntotal count: %lu\n", (unsigned long)count);
	return 1;
}

int not_available(const char *argv0)
{
	fprintf(stderr, "%s: not available in this build\n", last_component(argv0 ? argv0 : "multool"));
	return 1;
}

int main(int argc, char **argv)
{
	/* An empty argument vector is legal for execve; it names no applet. */
	const char *name = argc > 0 && argv[0] ? last_component(argv[0]) : "";

	if (argc >= 2 && strcmp(name, "multool") == 0) {
		name = last_component(argv[1]);
		argc--;
		argv++;
	}
	const struct applet *a = find_applet(name);
	if (!a)
		return unknown_applet(name);
	return a->main(argc, argv);
}
