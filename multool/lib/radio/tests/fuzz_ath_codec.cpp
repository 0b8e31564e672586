/* libFuzzer target: driver answers of the configuration request and the tool's argument texts.  An
 * answer is at most its request's size; every count it announces must stay inside that buffer. */
#include "radio/ath_codec.h"

#include <stdlib.h>
#include <string.h>
#include <string>
#include <vector>

static std::vector<uint8_t> answer(const uint8_t *data, size_t size, size_t want)
{
	std::vector<uint8_t> p(want, 0);
	memcpy(p.data(), data, size < want ? size : want);
	return p;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	std::vector<uint8_t> chan = answer(data, size, ATH_CHAN_SIZE);
	uint32_t n = ath_chan_count(chan.data());
	if (n > ATH_CHAN_ROOM || ATH_CHAN_FIRST + (size_t)n * ATH_CHAN_ENTRY > ATH_CHAN_SIZE)
		abort();
	for (uint32_t i = 0; i < n; i++) {
		struct ath_chan c;
		ath_decode_chan(chan.data(), i, &c);
		if (!ath_chan_mode(&c, c.flags & 31) || !ath_chan_mode_full(&c))
			abort();
	}
	std::vector<uint8_t> countries = answer(data, size, ATH_COUNTRY_SIZE);
	n = ath_country_count(countries.data());
	if (ATH_COUNTRY_FIRST + (size_t)n * ATH_COUNTRY_ENTRY > ATH_COUNTRY_SIZE)
		abort();
	for (uint32_t i = 0; i < n; i++) {
		struct ath_country k;
		ath_decode_country(countries.data(), i, &k);
	}
	std::vector<uint8_t> xp = answer(data, size, ATH_XELTO_SIZE);
	struct ath_xelto x;
	ath_decode_xelto(xp.data(), &x);
	if (x.count > ATH_XELTO_MAX)
		abort();

	std::string text((const char *)data, size);
	struct ath_chan_req req;
	struct ath_rate rate;
	if (ath_parse_xelto(text.c_str(), &x) == 0) {
		uint8_t out[ATH_XELTO_SIZE] = { 0 };
		if (x.count > ATH_XELTO_MAX)
			abort();
		ath_encode_xelto(out, &x);
	}
	if (ath_parse_channel_arg(text.c_str(), &req) == 0 && (req.mode > 2 || req.step > 20 || req.width > 28))
		abort();
	ath_parse_rate(text.c_str(), &rate);
	ath_mask_value(text.c_str());
	return 0;
}
