// The start-up warnings about settings that are read in a way the operator
// may not expect: each case is a settings text and the exact lines it gives.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "settings.hpp"
#include "settings_check.hpp"

using NORRIK::Settings;
using NORRIK::settingsWarnings;

TEST(SettingsWarnings, OneLinePerThingNotUnderstood) {
    struct Case {
        const char* name;
        std::string text;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"the written defaults and every known key",
         "[apiserver]\nenable=1\nport=6969\nthreads=1\nbind_address=127.0.0.1\nmetrics_allow=127.0.0.1\n"
         "[database]\ndriver=sqlite3\nfile=tracker.db\nlayout=flat\nconninfo=host=x\njournal_size_limit=-1\n"
         "[tracker]\nallow_iana_ips=1\nallow_remotes=YES\nannounce_interval=1800\ncleanup_interval=120\n"
         "is_dynamic=false\nlocal_subnet=192.168.0\nport=+6969\nremote_ip=192.168.1.0\nthreads=5\n"
         "log_requests=No\nbind_address=\nconnection_secret_file=/etc/secret\npid_file=n.pid\n"
         "[api.keys]\nops=127.0.0.1, 10.0.0.1;10.0.0.2\nlate=x 10.1\n",
         {}},
        {"empty values take their fallback quietly", "[tracker]\nport=\nallow_remotes=\n[apiserver]\nenable=\n", {}},
        {"unknown sections and keys",
         "[Tracker]\nport=1\n[ tracker ]\nport=1\n[tracker]\nprot=1\n[db]\n[database]\nname=x.db\n",
         {"Settings: unknown section [ tracker ]; nothing in it is read.",
          "Settings: unknown section [Tracker]; nothing in it is read.",
          "Settings: unknown key \"name\" in section [database]; it is not read.",
          "Settings: unknown key \"prot\" in section [tracker]; it is not read."}},
        {"numbers with text after their digits, and without digits",
         "[tracker]\nport=69x9\nthreads=two\nannounce_interval=30 min\n[apiserver]\nthreads=-2k\n",
         {"Settings: [apiserver] threads=-2k is not a whole number: reading stops at \"k\", so it reads as -2.",
          "Settings: [tracker] announce_interval=30 min is not a whole number: reading stops at \" min\", so it "
          "reads as 30.",
          "Settings: [tracker] port=69x9 is not a whole number: reading stops at \"x9\", so it reads as 69.",
          "Settings: [tracker] threads=two is not a number; it reads as 0."}},
        {"yes/no values that are neither, and enable other than 0 or 1",
         "[tracker]\nallow_remotes=maybe\nallow_iana_ips=nope\nis_dynamic=on\n[apiserver]\nenable=yes\n",
         {"Settings: [apiserver] enable=yes is not 1; it reads as off.",
          "Settings: [tracker] allow_iana_ips=nope is neither yes nor no; it reads as yes.",
          "Settings: [tracker] allow_remotes=maybe is neither yes nor no; it reads as no.",
          "Settings: [tracker] is_dynamic=on is neither yes nor no; it reads as no."}},
        {"address lists that stop before their end",
         "[api.keys]\nmask=127.0.0.1/8 10.0.0.1\nport=10.0.0.1, 127.0.0.1:80\nzero=10.0.0.1 0.0.0.0 10.0.0.2\n"
         "gap=10.0 .0.1\nrange=10.0.0.1-10.0.0.9\n",
         {"Settings: [api.keys] gap: the address list stops at character 5 (' ' after \"10.0\"): \"10.0 .0.1\" is "
          "ignored; no address was read before it.",
          "Settings: [api.keys] mask: the address list stops at character 10 ('/' after \"127.0.0.1\"): "
          "\"127.0.0.1/8 10.0.0.1\" is ignored; no address was read before it.",
          "Settings: [api.keys] port: the address list stops at character 20 (':' after \"127.0.0.1\"): "
          "\"127.0.0.1:80\" is ignored; 1 address was read before it (10.0.0.1).",
          "Settings: [api.keys] range: the address list stops at character 9 ('-' after \"10.0.0.1\"): "
          "\"10.0.0.1-10.0.0.9\" is ignored; no address was read before it.",
          "Settings: [api.keys] zero: the address list stops at character 10 (\"0.0.0.0\" reads as address 0): "
          "\"0.0.0.0 10.0.0.2\" is ignored; 1 address was read before it (10.0.0.1)."}},
        {"the metrics' address list reads like an API key's",
         "[apiserver]\nmetrics_allow=10.0.0.5, 127.0.0.1/8\n",
         {"Settings: [apiserver] metrics_allow: the address list stops at character 20 ('/' after \"127.0.0.1\"): "
          "\"127.0.0.1/8\" is ignored; 1 address was read before it (10.0.0.5)."}},
        {"a section name over two lines stays one warning line", "[a\nb]\nx=1\n",
         {"Settings: unknown section [a\\x0ab]; nothing in it is read."}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Settings settings("unused.conf");
        settings.parse(c.text.data(), c.text.size());
        EXPECT_EQ(settingsWarnings(settings), c.lines);
    }
}
