/* libFuzzer target: arbitrary tokens and data frames from the air into a running client.
 * The first input byte picks the protocol and the peer's resynchronisation state; the rest is
 * the frame body after the SNAP header. */
#include <stdlib.h>

#include "sim/sim.h"

static struct sim_node *client;
static const u8 master_mac[6] = { 0x02, 0x00, 0x00, 0x00, 0x00, 0x01 };

static void setup(void)
{
	static const u8 mac[6] = { 0x02, 0x00, 0x00, 0x00, 0x00, 0x02 };
	struct sim_config cfg;

	sim_config_defaults(&cfg);
	sim_create(&cfg);
	sim_add_node(master_mac, 0);	/* a MAC only: its module is not loaded */
	client = sim_add_node(mac, 0);
	if (sim_load(client, 0) || sim_peer_add(client, master_mac))
		abort();
	if (sim_dev_open(sim_peer(client, master_mac)->dev))
		abort();
}

int LLVMFuzzerTestOneInput(const u8 *data, size_t size)
{
	struct qlix_peer *p;

	if (!client)
		setup();
	if (size < 1)
		return 0;
	p = sim_peer(client, master_mac);
	p->unsync = (u8)((data[0] >> 1) % 3);
	client->ctx.t.improved_unsync = (data[0] >> 3) & 1;
	sim_inject(client, master_mac, (data[0] & 1) ? QLIX_PID_TOKEN : QLIX_PID_DATA, data + 1,
		   (u32)(size - 1));
	sim_run_for(2000);
	if (sim->bugs)
		abort();
	return 0;
}
