/* spectralscan: the radio's spectral analyser samples as a document for the operator's tools.
 *
 *   spectralscan [-i radio] [-n rounds] [-w milliseconds]
 *
 * Asks the driver of the radio (default wifi0) for its spectral samples, rounds times (default 1,
 * at most 100) with the given pause between them (default 100 ms), and replaces /tmp/spectrum.json:
 *
 *   { "interface": "wifi0", "timestamp": <Unix time>, "bins": <bins per sample>,
 *     "samples": [ { "tsf": <us>, "frequency": <MHz>, "noiseFloor": <dBm>, "rssi": <dBm>,
 *                    "power": [ <dBm of each bin: noise floor + the bin's dB> ] } ],
 *     "channels": [ { "frequency": <MHz>, "samples": <count>, "maxPower": <dBm>, "avgPower": <dBm> } ] }
 *
 * "channels" sums up the samples per frequency, in ascending frequency; avgPower is the truncated
 * average over all bins of those samples.  Exit status 1 (and no document) when the driver has no
 * spectral data for the interface. */
#include "common/daemon.h"
#include "common/text.h"
#include "radio/driver.h"
#include "spine/applet.h"
#include "spine/jsonutil.h"
#include "spine/logging.h"

#include <errno.h>
#include <net/if.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <map>
#include <vector>

#define SPECTRUM_JSON "/tmp/spectrum.json"
#define SPECTRUM_MAX_ROUNDS 100
#define SPECTRUM_MAX_WAIT_MS 60000

struct channel_sum {
	int64_t sum = 0;
	int64_t bins = 0;
	int samples = 0;
	int max = -32768;
};

struct scan {
	json_t *samples;
	std::map<uint16_t, channel_sum> channels;
	unsigned nbins;
};

static int keep_sample(const struct spectral_sample *s, void *arg)
{
	struct scan *sc = (struct scan *)arg;
	json_t *power = json_array();
	channel_sum &c = sc->channels[s->freq];

	for (unsigned i = 0; i < s->nbins; i++) {
		int dbm = s->nf + s->bin[i];
		json_array_append_new(power, json_integer(dbm));
		c.sum += dbm;
		c.bins++;
		if (dbm > c.max)
			c.max = dbm;
	}
	c.samples++;
	sc->nbins = s->nbins;
	json_array_append_new(sc->samples, json_pack("{s:I,s:i,s:i,s:i,s:o}", "tsf", (json_int_t)s->tsf, "frequency",
						       (int)s->freq, "noiseFloor", (int)s->nf, "rssi", (int)s->rssi,
						       "power", power));
	return 0;
}

static json_t *channel_summary(const struct scan *sc)
{
	json_t *list = json_array();

	for (const auto &kv : sc->channels) {
		const channel_sum &c = kv.second;
		json_t *o = json_pack("{s:i,s:i}", "frequency", (int)kv.first, "samples", c.samples);
		if (c.bins) {
			json_object_set_new(o, "maxPower", json_integer(c.max));
			json_object_set_new(o, "avgPower", json_integer((json_int_t)(c.sum / c.bins)));
		}
		json_array_append_new(list, o);
	}
	return list;
}

static void usage(const char *prog)
{
	fprintf(stderr,
		"Usage: %s [-i radio] [-n rounds] [-w milliseconds]\n"
		"Retrieves the spectral samples of the radio (default wifi0) from its driver, rounds times\n"
		"(default 1, at most %d) with the pause between them (default 100 ms), into %s.\n",
		prog, SPECTRUM_MAX_ROUNDS, SPECTRUM_JSON);
}

static int spectralscan_main(int argc, char **argv)
{
	const char *ifname = "wifi0";
	uint32_t rounds = 1, wait = 100;
	int c;

	while ((c = getopt(argc, argv, "i:n:w:h")) != -1) {
		switch (c) {
		case 'i':
			ifname = optarg;
			break;
		case 'n':
			if (parse_uint32(&rounds, optarg) < 0 || rounds < 1 || rounds > SPECTRUM_MAX_ROUNDS) {
				fprintf(stderr, "%s: rounds must be 1 to %d\n", argv[0], SPECTRUM_MAX_ROUNDS);
				return 1;
			}
			break;
		case 'w':
			if (parse_uint32(&wait, optarg) < 0 || wait > SPECTRUM_MAX_WAIT_MS) {
				fprintf(stderr, "%s: the pause must be 0 to %d ms\n", argv[0], SPECTRUM_MAX_WAIT_MS);
				return 1;
			}
			break;
		default:
			usage(argv[0]);
			return c == 'h' ? 0 : 1;
		}
	}
	if (optind != argc || strlen(ifname) >= IFNAMSIZ) {
		usage(argv[0]);
		return 1;
	}
	struct scan sc;
	sc.samples = json_array();
	sc.nbins = 0;
	std::vector<uint8_t> buf(SPECTRAL_SIZE);
	for (uint32_t r = 0; r < rounds; r++) {
		size_t got = 0;
		if (r)
			sleep_ms(wait, NULL);
		if (drv_request(ifname, DRV_SPECTRAL, buf.data(), buf.size(), &got) < 0) {
			fprintf(stderr, "%s: %s: spectral data not available: %s\n", argv[0], ifname, strerror(errno));
			json_decref(sc.samples);
			return 1;
		}
		drv_spectral_walk(buf.data(), got, keep_sample, &sc);
	}
	json_t *doc = json_pack("{s:s,s:I,s:i,s:o,s:o}", "interface", ifname, "timestamp", (json_int_t)time(NULL), "bins",
				(int)sc.nbins, "samples", sc.samples, "channels", channel_summary(&sc));
	int rc = json_write_doc(doc, SPECTRUM_JSON, ".tmp", JSON_DOC_FLAGS);
	json_decref(doc);
	if (rc < 0) {
		fprintf(stderr, "%s: cannot write %s: %s\n", argv[0], SPECTRUM_JSON, strerror(errno));
		return 1;
	}
	return 0;
}

APPLET("spectralscan", spectralscan_main);
