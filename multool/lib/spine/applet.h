/* Applet records: one per applet source, gathered by the linker in section "applet". */
#pragma once

struct applet {
	const char *name;
	int (*main)(int argc, char **argv);
};

extern "C" {
extern const struct applet __start_applet[];
extern const struct applet __stop_applet[];
}

#define APPLET(applet_name, entry)                                                   \
	static const struct applet applet_record_##entry                                 \
		__attribute__((used, section("applet"), aligned(alignof(struct applet)))) = { \
			applet_name, entry                                                       \
		}

/* The placeholder of an applet that is not built yet: message and status 1. */
int not_available(const char *argv0);
