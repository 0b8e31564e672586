// libzelk as the agent links it: the jansson reader's dotted lookups, the process and file helpers,
// and the exported C names (looked up with dlopen/dlsym in the built library).
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <netdb.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "zelk.h"

namespace
{

struct Dir {
	std::string path;
	Dir()
	{
		char tmpl[] = "/tmp/zelk-unit-XXXXXX";
		path = mkdtemp(tmpl);
	}
	~Dir()
	{
		std::string cmd = "rm -rf '" + path + "'";
		if (system(cmd.c_str()) != 0)
			perror("rm");
	}
	std::string put(const char *name, const std::string &text, const char *mode = "w")
	{
		std::string p = path + "/" + name;
		FILE *f = fopen(p.c_str(), mode);
		fwrite(text.data(), 1, text.size(), f);
		fclose(f);
		return p;
	}
};

} // namespace

TEST(ZelkJansson, DottedLookupsSplitAtEveryDot)
{
	Dir d;
	zjson *doc = zj_parse_file(d.put("a.json", R"({"a":{"b":{"c":5}},"a.b":{"c":6},"x":[1,2.5,"s"],
		"t":true,"f":false,"n":null,"r":12.75})")
					   .c_str());
	ASSERT_NE(doc, nullptr);
	EXPECT_EQ(zj_number(zj_dotget(doc, "a.b.c")), 5) << "the dotted key \"a.b\" is not reachable";
	EXPECT_EQ(zj_dotget(doc, "a.b.c.d"), nullptr);
	EXPECT_EQ(zj_dotget(doc, "x.0"), nullptr) << "no array indexes in paths";
	EXPECT_EQ(zj_type(zj_get(doc, "a.b")), ZJ_OBJECT) << "a plain member lookup reaches it";
	EXPECT_EQ(zj_count(zj_get(doc, "x")), 3u);
	EXPECT_EQ(zj_number(zj_at(zj_get(doc, "x"), 1)), 2.5) << "reals are numbers too";
	EXPECT_EQ(zj_type(zj_at(zj_get(doc, "x"), 1)), ZJ_NUMBER);
	EXPECT_STREQ(zj_string(zj_at(zj_get(doc, "x"), 2)), "s");
	EXPECT_EQ(zj_at(zj_get(doc, "x"), 3), nullptr);
	EXPECT_EQ(zj_bool(zj_get(doc, "t")), 1);
	EXPECT_EQ(zj_bool(zj_get(doc, "f")), 0);
	EXPECT_EQ(zj_type(zj_get(doc, "f")), ZJ_BOOL);
	EXPECT_EQ(zj_type(zj_get(doc, "n")), ZJ_NULL);
	EXPECT_EQ(zj_type(nullptr), ZJ_NONE);
	int r = 0;
	json_fill_integer(doc, "r", &r);
	EXPECT_EQ(r, 13);
	std::string keys;
	zj_each(
		doc,
		[](const char *k, const zjson *, void *ctx) {
			*(std::string *)ctx += std::string(k) + ",";
			return 0;
		},
		&keys);
	EXPECT_EQ(keys, "a,a.b,x,t,f,n,r,") << "document order";
	zj_free(doc);
	EXPECT_EQ(zj_parse_file(d.put("bad.json", "{\"a\":").c_str()), nullptr);
	EXPECT_EQ(zj_parse_file((d.path + "/none.json").c_str()), nullptr);
}

TEST(ZelkLinked, RunHelper)
{
	struct {
		const char *script;
		int exited, code, sig;
	} rows[] = {
		{ "exit 0", 1, 0, 0 },
		{ "exit 3", 1, 3, 0 },
		{ "kill -TERM $$", 0, 0, SIGTERM },
	};
	for (auto &r : rows) {
		char *argv[] = { (char *)"/bin/sh", (char *)"-c", (char *)r.script, nullptr };
		int status = -1;
		ASSERT_EQ(run_helper(argv, &status), 0) << r.script;
		EXPECT_EQ(WIFEXITED(status), r.exited) << r.script;
		if (r.exited)
			EXPECT_EQ(WEXITSTATUS(status), r.code) << r.script;
		else
			EXPECT_EQ(WTERMSIG(status), r.sig) << r.script;
	}
	char *argv[] = { (char *)"/nonexistent/helper", nullptr };
	int status = 0;
	ASSERT_EQ(run_helper(argv, &status), 0);
	EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 0) << "a program that cannot start fails";
	// arguments are never re-read by a shell
	Dir d;
	std::string probe = d.path + "/probe";
	std::string arg = "$(touch " + probe + ");touch " + probe;
	char *echo[] = { (char *)"/bin/echo", (char *)arg.c_str(), nullptr };
	ASSERT_EQ(run_helper(echo, &status), 0);
	EXPECT_NE(access(probe.c_str(), F_OK), 0);
}

TEST(ZelkLinked, Files)
{
	Dir d;
	std::string p = d.put("f", std::string("a\0b", 3));
	int len = 0;
	char *data = load_file(p.c_str(), &len);
	ASSERT_NE(data, nullptr);
	EXPECT_EQ(std::string(data, len), std::string("a\0b", 3));
	free(data);
	EXPECT_EQ(load_file(d.put("empty", "").c_str(), &len), nullptr) << "an empty file cannot be mapped";
	EXPECT_EQ(load_file((d.path + "/none").c_str(), &len), nullptr);
	EXPECT_EQ(file_size(p.c_str()), 3u);
	EXPECT_EQ(file_size(nullptr), 0u);
	EXPECT_EQ(file_size((d.path + "/none").c_str()), 0u);
	EXPECT_EQ(file_exists(p.c_str()), 1);
	EXPECT_EQ(file_exists((d.path + "/none").c_str()), 0);
	EXPECT_EQ(flush_file(p.c_str(), "xyz!", 4), 0);
	data = load_file(p.c_str(), &len);
	EXPECT_EQ(std::string(data, len), "xyz!");
	free(data);
	EXPECT_EQ(flush_file(nullptr, "x", 1), -1);
	EXPECT_EQ(flush_file((d.path + "/no/such").c_str(), "x", 1), -1);
}

TEST(ZelkLinked, Resolve)
{
	char buf[32];
	ASSERT_EQ(resolve("127.0.0.1", buf, sizeof(buf)), 0);
	EXPECT_STREQ(buf, "127.0.0.1");
	// A name through the resolver, where the machine has one: a minimal root without a hosts file
	// names no "localhost".
	struct addrinfo hints = {}, *ai = nullptr;
	hints.ai_family = AF_INET;
	if (getaddrinfo("localhost", nullptr, &hints, &ai) == 0) {
		freeaddrinfo(ai);
		ASSERT_EQ(resolve("localhost", buf, sizeof(buf)), 0);
		EXPECT_STREQ(buf, "127.0.0.1");
	}
	EXPECT_EQ(resolve("no-such-host.invalid", buf, sizeof(buf)), -1);
	char tiny[4];
	EXPECT_EQ(resolve("127.0.0.1", tiny, sizeof(tiny)), -1);
}

TEST(ZelkAbi, ExportedNames)
{
	// The agent's logging must be there before the library is loaded (it takes it from the process).
	void *ktrv = dlopen("libktrv.so.1", RTLD_NOW | RTLD_GLOBAL);
	ASSERT_NE(ktrv, nullptr) << dlerror();
	void *h = dlopen("libzelk.so.1", RTLD_NOW);
	ASSERT_NE(h, nullptr) << dlerror();
	const char *names[] = { "init_dev_info",
				"collect_dev_info",
				"free_dev_info",
				"get_wireless_info_by_name",
				"get_wireless_info_by_index",
				"get_interface_stats_by_index",
				"get_peer_info",
				"get_pseudo_optional",
				"resolve_placeholders",
				"get_ifindex",
				"time_remains",
				"run_helper",
				"zelk_install_handler",
				"resolve",
				"load_file",
				"flush_file",
				"file_size",
				"file_exists",
				"matches",
				"matches_icase",
				"json_fill_string",
				"json_fill_integer",
				"json_fill_u32",
				"json_fill_u64",
				"zj_parse_file",
				"zj_dotget" };
	for (const char *n : names)
		EXPECT_NE(dlsym(h, n), nullptr) << n;
	// what the agent takes from libktrv, the list head an object, not a function
	for (const char *n : { "log_message", "log_message_errno", "escape_xml", "read_serial_no", "trimr_string",
			       "socket_write", "socket_input_init", "socket_input_read_single", "socket_input_extract",
			       "socket_input_shutdown", "interfaces" })
		EXPECT_NE(dlsym(ktrv, n), nullptr) << n;
	struct list_head *ifs = (struct list_head *)dlsym(ktrv, "interfaces");
	ASSERT_NE(ifs, nullptr);
	EXPECT_TRUE(ifs->next != nullptr && ifs->prev != nullptr) << "an initialised list head";
	// the shared layer it is built on stays inside
	EXPECT_EQ(dlsym(h, "run_argv"), nullptr);
	EXPECT_EQ(dlsym(h, "write_all"), nullptr);
	EXPECT_EQ(dlsym(h, "add_vaps"), nullptr);
	dlclose(h);
	dlclose(ktrv);
}
