/* GPIO lines through /sys/class/gpio.  Failures return a negative value after perror(). */
#pragma once

int gpio_export(int n);
int gpio_unexport(int n);
int gpio_set_dir(int n, const char *direction);
int gpio_set_edge(int n, const char *edge);
int gpio_set_value(int n, int value);
/* value = 1 unless the file reads "0"; a read error gives 0. */
int gpio_get_value(int n, int *value);
int gpio_fd_open(int n, int flags);
int gpio_fd_close(int fd);
