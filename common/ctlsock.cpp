/* The shared interface-request socket. */
#include "common/ctlsock.h"

#include <sys/socket.h>
#include <unistd.h>

static int control_socket = -1;

int ctl_socket(int type)
{
	if (control_socket < 0)
		control_socket = socket(AF_INET, type | SOCK_CLOEXEC, 0);
	return control_socket;
}

void ctl_socket_close(void)
{
	if (control_socket >= 0)
		close(control_socket);
	control_socket = -1;
}
