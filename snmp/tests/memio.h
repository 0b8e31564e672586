/* The modules' inputs from memory: files by path, interface addresses, folder listings, interface
 * names and answers to interface requests, for the unit tests and the fuzz targets. */
#pragma once

#include "snmp/modkit/modkit.h"

#include <functional>
#include <map>
#include <string>
#include <vector>

struct memio {
	std::map<std::string, std::string> files;   /* path -> content */
	std::map<std::string, std::string> ipv4;    /* interface -> dotted address */
	std::vector<std::string> ifnames;
	bool no_socket = false;
	/* request, interface name, argument -> ioctl result */
	std::function<int(unsigned long, const char *, void *)> req;
};

/* Installs m as the inputs the table below reads; returns the table. */
const struct mod_io *memio_use(memio *m);
