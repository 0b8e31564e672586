/* The texts and codes of the wireless interface table. */
#include "snmp/mavowireless/mw_text.h"

#include <stdio.h>
#include <string.h>

const char *mw_protocol_text(char buf[MW_PROTOCOL_TEXT], const char *protocol, int64_t qlix)
{
	char p[MW_PROTOCOL_TEXT];

	memset(buf, 0, MW_PROTOCOL_TEXT);
	snprintf(p, sizeof(p), "%s", protocol);
	if (strstr(p, "qlix")) {
		char *comma = strchr(p, ',');
		if (comma)
			*comma = '\0';
		if (qlix == 5) {
			snprintf(buf, MW_PROTOCOL_TEXT, "Qlix V");
			return buf;
		}
		if (qlix != 0 && qlix != 4 && qlix != 7) {
			snprintf(buf, MW_PROTOCOL_TEXT, "Qlix");
			return buf;
		}
	} else {
		qlix = 0;
	}
	if (strncmp(p, "11", 2) == 0) {
		/* cut to what the buffer holds after the prefix */
		snprintf(buf, MW_PROTOCOL_TEXT, "IEEE 802.%.*s", MW_PROTOCOL_TEXT - 10, p);
		if (qlix == 0)
			return buf;
		strncat(buf, ", ", MW_PROTOCOL_TEXT - 1 - strlen(buf));
	}
	if (qlix == 4)
		strncat(buf, "Xelto 2", MW_PROTOCOL_TEXT - 1 - strlen(buf));
	else if (qlix == 7)
		strncat(buf, "Xelto 3", MW_PROTOCOL_TEXT - 1 - strlen(buf));
	return buf;
}

int32_t mw_security_code(const char *security)
{
	static const struct {
		const char *name;
		int32_t code;
	} codes[] = {
		{ "open", 1 }, { "wpaenterprise1", 5 }, { "wpapsk1", 6 }, { "wpaenterprise2", 7 },
		{ "wpapsk2", 8 }, { "wpaenterprise", 9 }, { "wpapsk", 10 },
	};
	for (const auto &c : codes)
		if (strcmp(security, c.name) == 0)
			return c.code;
	return 0;
}
