/* Stand-in for the kernel's sysfs GPIO tree: a FUSE file system mounted over /sys/class/gpio in the
 * virtual device.  It behaves as the kernel's files do for what the device's programs use:
 *
 *   export, unexport      write a line number (a trailing newline or NUL is accepted) -> gpioN/
 *   gpioN/direction       "in" or "out"
 *   gpioN/edge            "none", "rising", "falling" or "both"
 *   gpioN/value           "0\n" or "1\n"; written only while the direction is "out"
 *
 * and, as the kernel does, poll() on an open value file reports POLLPRI|POLLERR once an edge the
 * edge setting selects has happened since that descriptor last read the file.
 *
 * The test moves a line through a control FIFO: each line "N V" sets line N to level V (a line set
 * to the level it already has is a bounce: both edges, too quick for a reader to see the other level).
 * Every write (bytes as hex, NULs included), every read of a value file (with its offset) and every
 * export change go to the log as one JSON object per line.
 *
 * usage: fakegpio --log FILE --ctl FIFO [--line N=V]... MOUNTPOINT */
#define FUSE_USE_VERSION 31
#include <fuse.h>

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>

#define MAX_LINES 1024

struct gpio_line {
	bool exported;
	int level;
	char direction[8];
	char edge[8];
	unsigned events; /* edges the edge setting selected, ever */
};

enum node_kind { N_NONE, N_ROOT, N_EXPORT, N_UNEXPORT, N_DIR, N_DIRECTION, N_EDGE, N_VALUE };

struct node {
	enum node_kind kind;
	int gpio;
};

struct open_file {
	struct node n;
	unsigned seen;
	struct fuse_pollhandle *ph;
};

static struct gpio_line lines[MAX_LINES];
static std::set<struct open_file *> open_files;
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static const char *log_path;
static const char *ctl_path;

static void log_line(const std::string &json)
{
	int fd = open(log_path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
	if (fd < 0)
		return;
	std::string l = json + "\n";
	ssize_t ignored = write(fd, l.data(), l.size());
	(void)ignored;
	close(fd);
}

static std::string hex(const char *buf, size_t len)
{
	static const char digits[] = "0123456789abcdef";
	std::string s;
	for (size_t i = 0; i < len; i++) {
		s += digits[(unsigned char)buf[i] >> 4];
		s += digits[(unsigned char)buf[i] & 15];
	}
	return s;
}

/* "gpio<N>" with N a live, exported line; -1 otherwise. */
static int parse_gpio_dir(const char *name, size_t len)
{
	if (len < 5 || strncmp(name, "gpio", 4) != 0)
		return -1;
	int n = 0;
	for (size_t i = 4; i < len; i++) {
		if (name[i] < '0' || name[i] > '9' || n > MAX_LINES)
			return -1;
		n = n * 10 + (name[i] - '0');
	}
	return n < MAX_LINES && lines[n].exported ? n : -1;
}

static struct node lookup(const char *path)
{
	struct node n = { N_NONE, -1 };
	if (strcmp(path, "/") == 0)
		n.kind = N_ROOT;
	else if (strcmp(path, "/export") == 0)
		n.kind = N_EXPORT;
	else if (strcmp(path, "/unexport") == 0)
		n.kind = N_UNEXPORT;
	if (n.kind != N_NONE || path[0] != '/')
		return n;
	const char *name = path + 1, *slash = strchr(name, '/');
	int gpio = parse_gpio_dir(name, slash ? (size_t)(slash - name) : strlen(name));
	if (gpio < 0)
		return n;
	n.gpio = gpio;
	if (!slash)
		n.kind = N_DIR;
	else if (strcmp(slash, "/direction") == 0)
		n.kind = N_DIRECTION;
	else if (strcmp(slash, "/edge") == 0)
		n.kind = N_EDGE;
	else if (strcmp(slash, "/value") == 0)
		n.kind = N_VALUE;
	return n;
}

static std::string attr_text(const struct node &n)
{
	const struct gpio_line &l = lines[n.gpio];
	switch (n.kind) {
	case N_DIRECTION:
		return std::string(l.direction) + "\n";
	case N_EDGE:
		return std::string(l.edge) + "\n";
	case N_VALUE:
		return l.level ? "1\n" : "0\n";
	default:
		return "";
	}
}

static int fg_getattr(const char *path, struct stat *st, struct fuse_file_info *fi)
{
	(void)fi;
	pthread_mutex_lock(&lock);
	struct node n = lookup(path);
	memset(st, 0, sizeof(*st));
	st->st_nlink = 1;
	switch (n.kind) {
	case N_ROOT:
	case N_DIR:
		st->st_mode = S_IFDIR | 0755;
		st->st_nlink = 2;
		break;
	case N_EXPORT:
	case N_UNEXPORT:
		st->st_mode = S_IFREG | 0200;
		st->st_size = 4096;
		break;
	case N_DIRECTION:
	case N_EDGE:
	case N_VALUE:
		st->st_mode = S_IFREG | 0644;
		st->st_size = 4096; /* sysfs files report a page */
		break;
	case N_NONE:
		break;
	}
	pthread_mutex_unlock(&lock);
	return n.kind == N_NONE ? -ENOENT : 0;
}

static int fg_readdir(const char *path, void *buf, fuse_fill_dir_t fill, off_t off, struct fuse_file_info *fi,
		      enum fuse_readdir_flags flags)
{
	(void)off;
	(void)fi;
	(void)flags;
	pthread_mutex_lock(&lock);
	struct node n = lookup(path);
	int rc = 0;
	fill(buf, ".", NULL, 0, (enum fuse_fill_dir_flags)0);
	fill(buf, "..", NULL, 0, (enum fuse_fill_dir_flags)0);
	if (n.kind == N_ROOT) {
		fill(buf, "export", NULL, 0, (enum fuse_fill_dir_flags)0);
		fill(buf, "unexport", NULL, 0, (enum fuse_fill_dir_flags)0);
		for (int i = 0; i < MAX_LINES; i++) {
			if (lines[i].exported) {
				std::string name = "gpio" + std::to_string(i);
				fill(buf, name.c_str(), NULL, 0, (enum fuse_fill_dir_flags)0);
			}
		}
	} else if (n.kind == N_DIR) {
		for (const char *f : { "direction", "edge", "value" })
			fill(buf, f, NULL, 0, (enum fuse_fill_dir_flags)0);
	} else {
		rc = -ENOTDIR;
	}
	pthread_mutex_unlock(&lock);
	return rc;
}

static int fg_open(const char *path, struct fuse_file_info *fi)
{
	pthread_mutex_lock(&lock);
	struct node n = lookup(path);
	int rc = 0;
	if (n.kind == N_NONE)
		rc = -ENOENT;
	else if (n.kind == N_ROOT || n.kind == N_DIR)
		rc = -EISDIR;
	else if ((n.kind == N_EXPORT || n.kind == N_UNEXPORT) && (fi->flags & O_ACCMODE) != O_WRONLY)
		rc = -EACCES;
	if (rc == 0) {
		struct open_file *of = new open_file();
		of->n = n;
		of->seen = n.gpio >= 0 ? lines[n.gpio].events : 0;
		of->ph = NULL;
		open_files.insert(of);
		fi->fh = (uint64_t)(uintptr_t)of;
		fi->direct_io = 1; /* every read reaches us, at its own offset */
		fi->nonseekable = 0;
	}
	pthread_mutex_unlock(&lock);
	return rc;
}

static int fg_release(const char *path, struct fuse_file_info *fi)
{
	(void)path;
	pthread_mutex_lock(&lock);
	struct open_file *of = (struct open_file *)(uintptr_t)fi->fh;
	open_files.erase(of);
	if (of->ph)
		fuse_pollhandle_destroy(of->ph);
	delete of;
	pthread_mutex_unlock(&lock);
	return 0;
}

static int fg_read(const char *path, char *buf, size_t size, off_t off, struct fuse_file_info *fi)
{
	pthread_mutex_lock(&lock);
	struct open_file *of = (struct open_file *)(uintptr_t)fi->fh;
	std::string text = attr_text(of->n);
	if (of->n.kind == N_VALUE) {
		of->seen = lines[of->n.gpio].events;
		log_line("{\"op\":\"read\",\"path\":\"" + std::string(path) + "\",\"off\":" + std::to_string(off) +
			 ",\"level\":" + std::to_string(lines[of->n.gpio].level) + "}");
	}
	pthread_mutex_unlock(&lock);
	if (off >= (off_t)text.size())
		return 0;
	size_t n = text.size() - (size_t)off;
	if (n > size)
		n = size;
	memcpy(buf, text.data() + off, n);
	return (int)n;
}

/* The written text up to a NUL, without one trailing newline, as the kernel's parsers take it. */
static std::string written_text(const char *buf, size_t size)
{
	std::string s(buf, strnlen(buf, size));
	if (!s.empty() && s.back() == '\n')
		s.pop_back();
	return s;
}

static int parse_number(const std::string &s)
{
	if (s.empty() || s.size() > 4)
		return -1;
	int n = 0;
	for (char c : s) {
		if (c < '0' || c > '9')
			return -1;
		n = n * 10 + (c - '0');
	}
	return n < MAX_LINES ? n : -1;
}

static void notify_edge(int gpio)
{
	lines[gpio].events++;
	for (struct open_file *of : open_files) {
		if (of->n.kind == N_VALUE && of->n.gpio == gpio && of->ph) {
			fuse_notify_poll(of->ph);
			fuse_pollhandle_destroy(of->ph);
			of->ph = NULL;
		}
	}
}

/* A level change (or a bounce, when the level stays) as the edge setting sees it. */
static void set_level(int gpio, int level)
{
	struct gpio_line &l = lines[gpio];
	int old = l.level;
	l.level = level ? 1 : 0;
	if (!l.exported || strcmp(l.edge, "none") == 0)
		return;
	bool rising = old == 0 && l.level == 1, falling = old == 1 && l.level == 0, bounce = old == l.level;
	if (bounce || strcmp(l.edge, "both") == 0 || (rising && strcmp(l.edge, "rising") == 0) ||
	    (falling && strcmp(l.edge, "falling") == 0))
		notify_edge(gpio);
}

static int write_node(const struct node &n, const std::string &text)
{
	int gpio = n.gpio;
	switch (n.kind) {
	case N_EXPORT:
	case N_UNEXPORT:
		gpio = parse_number(text);
		if (gpio < 0)
			return -EINVAL;
		if (n.kind == N_EXPORT && lines[gpio].exported)
			return -EBUSY;
		if (n.kind == N_UNEXPORT && !lines[gpio].exported)
			return -EINVAL;
		lines[gpio].exported = n.kind == N_EXPORT;
		strcpy(lines[gpio].direction, "in");
		strcpy(lines[gpio].edge, "none");
		return 0;
	case N_DIRECTION:
		if (text != "in" && text != "out")
			return -EINVAL;
		strcpy(lines[gpio].direction, text.c_str());
		return 0;
	case N_EDGE:
		if (text != "none" && text != "rising" && text != "falling" && text != "both")
			return -EINVAL;
		strcpy(lines[gpio].edge, text.c_str());
		return 0;
	case N_VALUE:
		if (strcmp(lines[gpio].direction, "out") != 0)
			return -EPERM;
		lines[gpio].level = text != "0";
		return 0;
	default:
		return -EIO;
	}
}

static int fg_write(const char *path, const char *buf, size_t size, off_t off, struct fuse_file_info *fi)
{
	(void)off;
	pthread_mutex_lock(&lock);
	struct open_file *of = (struct open_file *)(uintptr_t)fi->fh;
	int rc = write_node(of->n, written_text(buf, size));
	log_line("{\"op\":\"write\",\"path\":\"" + std::string(path) + "\",\"data\":\"" + hex(buf, size) +
		 "\",\"rc\":" + std::to_string(rc) + "}");
	pthread_mutex_unlock(&lock);
	return rc < 0 ? rc : (int)size;
}

static int fg_truncate(const char *path, off_t size, struct fuse_file_info *fi)
{
	(void)path;
	(void)size;
	(void)fi;
	return 0;
}

static int fg_poll(const char *path, struct fuse_file_info *fi, struct fuse_pollhandle *ph, unsigned *reventsp)
{
	(void)path;
	pthread_mutex_lock(&lock);
	struct open_file *of = (struct open_file *)(uintptr_t)fi->fh;
	if (ph) {
		if (of->ph)
			fuse_pollhandle_destroy(of->ph);
		of->ph = ph;
	}
	unsigned rev = POLLIN | POLLRDNORM;
	if (of->n.kind == N_VALUE && of->seen != lines[of->n.gpio].events)
		rev |= POLLPRI | POLLERR;
	*reventsp = rev;
	pthread_mutex_unlock(&lock);
	return 0;
}

static void *control(void *arg)
{
	(void)arg;
	/* Opened for writing too, so the FIFO never reads as ended between two writers. */
	int fd = open(ctl_path, O_RDWR | O_CLOEXEC);
	FILE *f = fd >= 0 ? fdopen(fd, "r") : NULL;
	char text[64];
	if (!f) {
		perror(ctl_path);
		return NULL;
	}
	while (fgets(text, sizeof(text), f)) {
		int gpio, level;
		if (sscanf(text, "%d %d", &gpio, &level) != 2 || gpio < 0 || gpio >= MAX_LINES)
			continue;
		pthread_mutex_lock(&lock);
		set_level(gpio, level);
		pthread_mutex_unlock(&lock);
	}
	return NULL;
}

static void *fg_init(struct fuse_conn_info *conn, struct fuse_config *cfg)
{
	(void)conn;
	cfg->direct_io = 1;
	cfg->kernel_cache = 0;
	cfg->attr_timeout = 0;
	cfg->entry_timeout = 0;
	cfg->negative_timeout = 0;
	pthread_t t;
	if (pthread_create(&t, NULL, control, NULL) == 0)
		pthread_detach(t);
	return NULL;
}

static void usage(void)
{
	fprintf(stderr, "usage: fakegpio --log FILE --ctl FIFO [--line N=V]... MOUNTPOINT\n");
	exit(2);
}

int main(int argc, char **argv)
{
	const char *mountpoint = NULL;
	for (int i = 1; i < argc; i++) {
		if (strcmp(argv[i], "--log") == 0 && i + 1 < argc) {
			log_path = argv[++i];
		} else if (strcmp(argv[i], "--ctl") == 0 && i + 1 < argc) {
			ctl_path = argv[++i];
		} else if (strcmp(argv[i], "--line") == 0 && i + 1 < argc) {
			int gpio, level;
			if (sscanf(argv[++i], "%d=%d", &gpio, &level) != 2 || gpio < 0 || gpio >= MAX_LINES)
				usage();
			lines[gpio].level = level ? 1 : 0;
		} else if (argv[i][0] != '-' && !mountpoint) {
			mountpoint = argv[i];
		} else {
			usage();
		}
	}
	if (!log_path || !ctl_path || !mountpoint)
		usage();
	for (auto &l : lines) {
		strcpy(l.direction, "in");
		strcpy(l.edge, "none");
	}

	static struct fuse_operations ops;
	ops.getattr = fg_getattr;
	ops.readdir = fg_readdir;
	ops.open = fg_open;
	ops.release = fg_release;
	ops.read = fg_read;
	ops.write = fg_write;
	ops.truncate = fg_truncate;
	ops.poll = fg_poll;
	ops.init = fg_init;
	/* Foreground and single-threaded: the requests are served one after another. */
	char *fargv[] = { argv[0], (char *)"-f", (char *)"-s", (char *)mountpoint, NULL };
	return fuse_main(4, fargv, &ops, NULL);
}
