/* Logging categories and levels of multool.
 *
 * Every category is one record in the link section "log4c"; the linker gathers the records of all
 * objects and the start-up code walks them between __start_log4c and __stop_log4c.  logctl pokes the
 * level word of a running process in place, so the layout below is shared by both ends. */
#pragma once

#include <stddef.h>
#include <stdint.h>

enum log_level {
	LOG_INVALID = 0,
	LOG_TRACE = 1,
	LOG_DEBUG = 2,
	LOG_INFO = 3,
	LOG_WARN = 4,
	LOG_ERROR = 5,
	LOG_FATAL = 6,
	LOG_OFF = 7,
};

struct log4c_category {
	const char *name;
	const char *file;
	int32_t level;
	uint32_t reserved;
};

/* Offsets as another process sees them; on the board (ILP32) a record is four words. */
#define LOG4C_RECORD_SIZE sizeof(struct log4c_category)
#define LOG4C_LEVEL_OFFSET offsetof(struct log4c_category, level)
#if defined(__ILP32__) || (defined(__SIZEOF_POINTER__) && __SIZEOF_POINTER__ == 4)
static_assert(sizeof(struct log4c_category) == 16, "category record must be four words");
static_assert(offsetof(struct log4c_category, level) == 8, "level must be the third word");
#endif

#define LOG4C_SECTION_ATTR \
	__attribute__((used, section("log4c"), aligned(alignof(struct log4c_category))))

/* One record.  Two records of one file must be one array (see LOG4C_CATEGORY_PAIR): GCC may emit
 * separate objects of one translation unit in reverse order. */
#define LOG4C_CATEGORY(var, catname) \
	struct log4c_category var LOG4C_SECTION_ATTR = { catname, __FILE_NAME__, LOG_OFF, 0 }

#define LOG4C_CATEGORY_PAIR(var, first, second)                      \
	struct log4c_category var[2] LOG4C_SECTION_ATTR = {              \
		{ first, __FILE_NAME__, LOG_OFF, 0 },                        \
		{ second, __FILE_NAME__, LOG_OFF, 0 },                       \
	}

extern "C" {
extern struct log4c_category __start_log4c[];
extern struct log4c_category __stop_log4c[];
}

/* The 24 categories, in section order. */
extern struct log4c_category log4c_cat_logctl;
extern struct log4c_category log4c_cat_eeprom;
extern struct log4c_category log4c_cat_sysconf_main;
extern struct log4c_category log4c_cat_fwupdate_common;
extern struct log4c_category log4c_cat_fwupdate;
extern struct log4c_category log4c_cat_fi_create;
extern struct log4c_category log4c_cat_fi_write;
extern struct log4c_category log4c_cat_resetd;
extern struct log4c_category log4c_cats_launchd[2];
#define log4c_cat_launchd_timing (log4c_cats_launchd[0])
#define log4c_cat_launchd (log4c_cats_launchd[1])
extern struct log4c_category log4c_cat_athtool;
extern struct log4c_category log4c_cat_stats;
extern struct log4c_category log4c_cat_setmacs;
extern struct log4c_category log4c_cat_ltsd;
extern struct log4c_category log4c_cat_statlog;
extern struct log4c_category log4c_cat_bwmonitor;
extern struct log4c_category log4c_cat_logging;
extern struct log4c_category log4c_cat_lib_iwpriv;
extern struct log4c_category log4c_cat_lib_utils;
extern struct log4c_category log4c_cat_lib_eeprom_ar9300;
extern struct log4c_category log4c_cat_lib_eeprom_qc98xx;
/* The board library (store, export) logs through the first of the two "lib.eeprom" records. */
#define log4c_cat_lib_eeprom (log4c_cat_lib_eeprom_ar9300)
extern struct log4c_category log4c_cat_sysconf_flash;
extern struct log4c_category log4c_cat_sysconf_options;
extern struct log4c_category log4c_cat_sysconf_sysconf;

static inline bool __log4c_enabled(const struct log4c_category *cat, int level)
{
	/* Another process may rewrite the level at any time. */
	int32_t cur = __atomic_load_n(&cat->level, __ATOMIC_RELAXED);
	return cur < LOG_OFF && level >= cur;
}

void __log4c_logging(const struct log4c_category *cat, int level, const char *fmt, ...)
	__attribute__((format(printf, 3, 4)));

/* A message formatted ahead of time, for a signal handler: log_prepared_write checks the category's
 * level as it is then and writes the line in one call, which is all a handler may do.  The line is
 * the one __log4c_logging would write when prepared (name, pid, colours for a terminal). */
struct log_prepared {
	const struct log4c_category *cat;
	int level;
	size_t len;
	char text[256];
};
void log_prepare(struct log_prepared *p, const struct log4c_category *cat, int level, const char *fmt, ...)
	__attribute__((format(printf, 4, 5)));
void log_prepared_write(const struct log_prepared *p);

/* Level number of a level name; 0 for "invalid" and for any unknown text. */
int logging_str2ll(const char *text);
const char *logging_level_name(int level);

/* Name of the applet being run, or NULL when /proc/self/cmdline was unreadable. */
const char *invoke_name(void);
const char *program_name(void);

/* Applies one configuration file; returns -1 when it cannot be opened. */
int logging_apply_file(const char *path);
/* Sets every category matching the shell pattern; returns the number changed. */
int logging_set_level(const char *pattern, int level);

#define LOG(cat, lvl, ...)                                    \
	do {                                                      \
		if (__log4c_enabled(&(cat), (lvl)))                   \
			__log4c_logging(&(cat), (lvl), __VA_ARGS__);      \
	} while (0)

#define LOG_T(cat, ...) LOG(cat, LOG_TRACE, __VA_ARGS__)
#define LOG_D(cat, ...) LOG(cat, LOG_DEBUG, __VA_ARGS__)
#define LOG_I(cat, ...) LOG(cat, LOG_INFO, __VA_ARGS__)
#define LOG_W(cat, ...) LOG(cat, LOG_WARN, __VA_ARGS__)
#define LOG_E(cat, ...) LOG(cat, LOG_ERROR, __VA_ARGS__)
#define LOG_F(cat, ...) LOG(cat, LOG_FATAL, __VA_ARGS__)
