/* GPIO lines through sysfs. */
#include "platform/gpio.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#define GPIO_DIR "/sys/class/gpio"

/* Writes text with its terminating NUL, as the kernel files accept it. */
static int write_file(const char *path, const char *text, const char *label)
{
	int fd = open(path, O_WRONLY | O_CLOEXEC);
	if (fd < 0) {
		perror(label);
		return fd;
	}
	size_t len = strlen(text) + 1;
	ssize_t n = write(fd, text, len);
	close(fd);
	if (n < 0) {
		perror(label);
		return -1;
	}
	if ((size_t)n != len) {
		fprintf(stderr, "%s: short write\n", label);
		return -1;
	}
	return 0;
}

static int write_number(const char *path, int n, const char *label)
{
	char text[16];
	snprintf(text, sizeof(text), "%d", n);
	return write_file(path, text, label);
}

int gpio_export(int n)
{
	return write_number(GPIO_DIR "/export", n, "gpio/export");
}

int gpio_unexport(int n)
{
	return write_number(GPIO_DIR "/unexport", n, "gpio/export");
}

static int write_attr(int n, const char *attr, const char *text, const char *label)
{
	char path[64];
	snprintf(path, sizeof(path), GPIO_DIR "/gpio%d/%s", n, attr);
	return write_file(path, text, label);
}

int gpio_set_dir(int n, const char *direction)
{
	return write_attr(n, "direction", direction, "gpio/direction");
}

int gpio_set_edge(int n, const char *edge)
{
	return write_attr(n, "edge", edge, "gpio/set-edge");
}

int gpio_set_value(int n, int value)
{
	return write_attr(n, "value", value ? "1" : "0", "gpio/set-value");
}

int gpio_get_value(int n, int *value)
{
	char path[64], c;
	snprintf(path, sizeof(path), GPIO_DIR "/gpio%d/value", n);
	int fd = open(path, O_RDONLY | O_CLOEXEC);
	if (fd < 0) {
		perror("gpio/get-value");
		return fd;
	}
	ssize_t r;
	do
		r = read(fd, &c, 1);
	while (r < 0 && errno == EINTR);
	close(fd);
	if (r != 1) {
		*value = 0;
		return 0;
	}
	*value = c != '0';
	return 0;
}

int gpio_fd_open(int n, int flags)
{
	char path[64];
	snprintf(path, sizeof(path), GPIO_DIR "/gpio%d/value", n);
	int fd = open(path, flags | O_NONBLOCK | O_CLOEXEC);
	if (fd < 0)
		perror("gpio/fd_open");
	return fd;
}

int gpio_fd_close(int fd)
{
	return close(fd);
}
