// lora-cards --serve against a sysfs tree of its own and a stand-in updater that exits with the
// statuses a row gives it. Each row is a script of steps, played in order; a check step fails the
// row with the service's output.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <thread>

namespace {

struct Gateway {
    std::string dir, root;
    pid_t pid = -1;
    int status = -1;
    std::vector<std::string> env = {"LORA_QUIET=0.3", "LORA_BACKOFF=0.5,0.5"};
    std::map<std::string, int> devnum;
};

std::string slurp(const std::string &path)
{
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

int sh(const std::string &command)
{
    return system(command.c_str());
}

size_t count(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
    return n;
}

// The stand-in updater takes the next status of its terminal's queue, if it has one, else of
// the queue of all runs (0 once it is empty): updaters that start together take their terminals'.
// "slow" runs until SIGTERM, then ends 6 as the updater's stop does; "late" ends 0 after 2 s,
// "late10" ends 10.
const char *UPDATER = R"(#!/bin/sh
q=$DIR/statuses.$1
if [ -e "$q" ]; then n=$(grep -cx "$1" "$DIR/runs"); else q=$DIR/statuses n=$(wc -l <"$DIR/runs"); fi
echo "$1" >>"$DIR/runs"
st=$(sed -n "$((n + 1))p" "$q")
if [ "$st" = slow ]; then trap 'exit 6' TERM; while :; do sleep 0.05; done; fi
case $st in late*) sleep 2 && st=${st#late} ;; esac
exit "${st:-0}"
)";

void start(Gateway &g)
{
    g.pid = fork();
    if (g.pid == 0) {
        setpgid(0, 0);  // the service and its updater, for a row to end them together
        umask(077);     // what it writes is readable by all whatever the umask
        if (!freopen((g.dir + "/out").c_str(), "a", stdout)) _exit(126);
        for (const std::string &e : g.env) putenv(strdup(e.c_str()));
        setenv("DIR", g.dir.c_str(), 1), setenv("LORA_ROOT", g.root.c_str(), 1);
        setenv("STATE_DIRECTORY", (g.dir + "/state").c_str(), 1), setenv("RUNTIME_DIRECTORY", (g.dir + "/run").c_str(), 1);
        setenv("LORA_UPDATE_COMMAND", (g.dir + "/updater").c_str(), 1);
        execl("/bin/sh", "sh", "-c", "exec " LORA_CARDS " --serve", static_cast<char *>(nullptr));
        _exit(127);
    }
}

void plug(Gateway &g, const std::string &port, const std::string &tty, const std::string &product, const std::string &serial)
{
    std::string usb = g.root + "/sys/devices/usb/" + port, cls = g.root + "/sys/class/tty/" + tty;
    sh("mkdir -p '" + usb + "/" + port + ":1.0' '" + cls + "' && ln -sfn ../../../devices/usb/" + port + "/" + port + ":1.0 " + cls + "/device");
    std::ofstream(usb + "/idVendor") << "3c5e\n";
    std::ofstream(usb + "/idProduct") << product << "\n";
    std::ofstream(usb + "/devnum") << ++g.devnum[port] << "\n";
    if (serial != "-") std::ofstream(usb + "/serial") << serial << "\n";
    else unlink((usb + "/serial").c_str());
    std::ofstream(g.root + "/dev/" + tty);
}

bool waitfor(const std::function<bool()> &done, double seconds = 10)
{
    for (int i = 0; i < seconds * 20 && !done(); i++) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return done();
}

// One step: a word and its arguments. Returns false with a reason when a check fails.
bool step(Gateway &g, std::istringstream &in, std::string &why)
{
    std::string w, a, b, c, d;
    in >> w;
    if (w == "plug")
        while (in >> a >> b >> c >> d) plug(g, a, b, c, d);
    else if (w == "unplug") in >> a, sh("rm -rf " + g.root + "/sys/class/tty/" + a + " " + g.root + "/dev/" + a);
    else if (w == "sh") std::getline(in, a), sh("cd " + g.dir + " && D=" + g.root + "/pckg/iot/distros &&" + a);
    else if (w == "env") in >> a, g.env.push_back(a);
    else if (w == "forwarder") {
        // The root helper as its path unit starts it, for a minute, with a systemctl that logs
        // what it is asked, says the configuration holds UNIT and the forwarder is ACTIVE, and
        // takes 2 s to stop it.
        in >> a >> b;
        std::ofstream(g.dir + "/bin/systemctl") << "#!/bin/sh\necho \"$*\" >>" + g.dir + "/systemctl\n[ $1 != stop ] || sleep 2\n"
                                                   "case $3 in Environment) echo LORA_FORWARDER=" + a + ";; ActiveState) echo " + b + ";; esac\n";
        sh("cd " + g.dir + " && chmod 755 bin/systemctl && { for i in $(seq 600); do [ -d run ] || break; [ ! -e run/updating ] || { mkdir run-forwarder; "
           "PATH=$PWD/bin:$PATH LORA_RUN=run RUNTIME_DIRECTORY=run-forwarder sh " FORWARDER " >>out; rm -r run-forwarder; }; sleep 0.1; done >/dev/null 2>&1 & }");
    }
    else if (w == "updater") {
        // "updater 6 0", or by terminal: "updater ttyACM0 slow ttyACM1 0".
        for (b = "/statuses"; in >> a;)
            if (a.rfind("tty", 0) == 0) b = "/statuses." + a;
            else std::ofstream(g.dir + b, std::ios::app) << a << "\n";
    } else if (w == "start") start(g);
    else if (w == "kill") kill(-g.pid, SIGKILL), waitpid(g.pid, &g.status, 0), g.pid = -1;
    else if (w == "stop" || w == "ends") {
        // "ends": the service ends by itself, as it must on a setting it refuses.
        if (w == "stop") kill(g.pid, SIGTERM);
        bool ended = false;
        if (!waitfor([&] { return ended = ended || waitpid(g.pid, &g.status, WNOHANG) == g.pid; }))
            why = "the service still runs 10 s after " + std::string(w == "stop" ? "SIGTERM" : "its start"), kill(-g.pid, SIGKILL),
            waitpid(g.pid, &g.status, 0);
        g.pid = -1;
    }
    else if (w == "wait") in >> a, std::this_thread::sleep_for(std::chrono::milliseconds(int(atof(a.c_str()) * 1000)));
    else if (w == "lora-cards") {
        // "lc" runs lora-cards again within the step; each run prints its exit status (124: it
        // hung). A umask that node-exporter could not read through must not show in the files
        // written.
        for (const std::string &e : g.env) b += e + " ";
        std::getline(in, a), sh("cd " + g.dir + " && umask 077 && { lc() { " + b + "STATE_DIRECTORY=" + g.dir + "/state LORA_ROOT=" + g.root + " timeout 30 " LORA_CARDS " \"$@\"; echo exit $?; }; lc" + a + "; } >cmd 2>&1");
    }
    else if (w == "runs") {
        size_t n = 0;
        auto runs = [&] { return count(slurp(g.dir + "/runs"), "\n"); };
        in >> n;
        waitfor([&] { return runs() >= n; });
        std::this_thread::sleep_for(std::chrono::milliseconds(1200));
        if (runs() != n) why = "the updater ran " + std::to_string(runs()) + " times, not " + std::to_string(n);
    } else if (w == "state") {
        in >> a >> b >> c;
        std::replace(b.begin(), b.end(), '_', ' ');
        std::string s = slurp(g.dir + "/state/cards/" + a);
        if (count(s, "\nstate=" + b + "\n") != 1 || count(s, "\ntries=" + c + "\n") != 1)
            why = "state of " + a + " is not " + b + " after " + c + " tries: " + s;
    } else if (w == "exit") {
        in >> a;
        if (!WIFEXITED(g.status) || WEXITSTATUS(g.status) != atoi(a.c_str())) why = "the service ended " + std::to_string(g.status);
    } else if (w == "said" || w == "shows") {
        in >> a;
        std::getline(in, b), b = b.substr(1);
        size_t got = count(w == "said" ? slurp(g.dir + "/out") : slurp(g.dir + "/cmd"), b);
        if (got != size_t(atoi(a.c_str()))) why = "\"" + b + "\" found " + std::to_string(got) + " times, not " + a;
    } else if (w == "file") {
        in >> a >> b;
        if (!waitfor([&] { return (access((g.dir + "/" + a).c_str(), F_OK) == 0) == (b == "yes"); }, 5)) why = a + " exists: not " + b;
    } else why = "no step " + w;
    return why.empty();
}

struct Row {
    const char *name;
    std::vector<const char *> steps;
};

const std::vector<Row> ROWS = {
    {"up-to-date cards are left alone at the next start",
     {"plug 1-1 ttyACM0 0310 S1", "plug 1-1.2 ttyACM1 0312 S2", "start", "runs 2", "state 1-1 done 1", "stop", "exit 0", "start", "runs 2",
      "said 1 ttyACM0 (usb 1-1): update status 0, done"}},
    {"a state written by lora-cards 1.2.0 (its own SHA-256) is read as the same content: no update after an upgrade",
     {"sh mkdir -p state/cards && printf 'port=1-1\\ntty=ttyACM0\\nmodel=ZL9A\\nserial=S1\\nsha256=12833502c12d240d9b82d1c560ad0a49021422c53bda0002a0f76c32ec7a3aa6"
      "\\nfw_version=2.4.1\\nstatus=0\\nwhen=1796784252\\ntries=1\\nstate=done\\n' >state/cards/1-1",
      "plug 1-1 ttyACM0 0310 S1", "start", "runs 0", "state 1-1 done 1"}},
    {"a refusing card: three tries, given up once, the run ends failed",
     {"updater 6 6 6 0", "plug 1-1 ttyACM0 0313 S1", "start", "runs 3", "state 1-1 given_up 3", "said 1 given up", "said 2 tried again at",
      "stop", "exit 1", "start", "runs 3", "stop", "exit 0"}},
    {"done after a busy terminal and a silent card: status 2, the distro does not support the card",
     {"updater 9 10 2", "plug 1-1 ttyACM0 0311 S1", "start", "runs 3", "state 1-1 done 3", "stop", "exit 0",
      "lora-cards --metrics . && cat lora_cards.prom", "shows 1 lora_card_given_up{port=\"1-1\"} 0"}},
    {"a retrying card is taken at the service's start",
     {"env LORA_BACKOFF=60,60", "updater 6", "plug 1-1 ttyACM0 0310 S1", "start", "runs 1", "stop", "start", "runs 2", "state 1-1 done 2"}},
    {"a crash is a try: killed once in its update, a card is updated at the next start; killed three times, it is given up",
     {"updater ttyACM0 slow 0 ttyACM1 slow slow slow", "plug 1-1 ttyACM0 0310 S1 1-2 ttyACM1 0312 S2", "start", "runs 2", "state 1-1 updating 1", "kill",
      "start", "runs 4", "kill", "start", "runs 5", "kill", "start", "runs 5", "state 1-1 done 2", "state 1-2 given_up 3",
      "stop", "exit 1", "said 1 ttyACM0 (usb 1-1): update status -1, update cut short (the service ended during it), try 1 of 3, tried again now",
      "said 1 ttyACM1 (usb 1-2): update status -1, update cut short (the service ended during it), try 3 of 3, given up until"}},
    {"a state the disk refuses: no update again, and it is written once the disk takes it; a restart reflashes nothing",
     {"sh ln -s /dev/null state/cards", "plug 1-1 ttyACM0 0310 S1", "start", "runs 1", "said 1 1-1: cannot write its state",
      "sh rm state/cards && mkdir state/cards", "file state/cards/1-1 yes", "state 1-1 done 1", "said 1 1-1: its state is written again",
      "stop", "start", "runs 1"}},
    {"bad state files are no state: every other card is shown, and the cards behind them are updated anew",
     {"sh mkdir -p state/cards/1-6 && cd state/cards && : >1-1 && head -c 3000 /dev/urandom >1-2 && printf 'port=1-3\\nserial=S3\\n' >1-3 && "
      "st() { printf 'colour=blue\\nport=%s\\ntty=ttyACM7\\nmodel=ZL9A\\nserial=%s\\nsha256=%s\\nfw_version=2.4.1\\nstatus=0\\nwhen=1\\n"
      "tries=1\\nstate=done\\n' $1 \"$2\" $(sha256sum <$D/lora_zl9ab.dist | cut -c1-64); } && st 1-7 'a\"b\\c' >1-7 && ln -s 1-7 1-5 && "
      "{ st 1-4 S4; head -c 1048576 /dev/zero; } >1-4",
      "lora-cards --inventory; lc; lc --metrics . && cat lora_cards.prom && stat -c mode%a lora_cards.prom && "
      "{ ! command -v promtool || promtool check metrics <lora_cards.prom || echo BAD; }",
      "shows 1 lora_cards=", "shows 1 lora_cards=1-7", "shows 3 exit 0", "shows 1 serial=\"a\\\"b\\\\c\"", "shows 1 mode644", "shows 0 BAD",
      "plug 1-1 ttyACM1 0310 S1 1-2 ttyACM2 0310 S2 1-3 ttyACM3 0310 S3 1-4 ttyACM4 0310 S4 1-5 ttyACM5 0310 S5 1-6 ttyACM6 0310 S6",
      "plug 1-7 ttyACM7 0310 a\"b\\c", "start", "runs 6", "state 1-5 done 1", "state 1-7 done 1", "said 1 1-6: cannot write its state"}},
    {"a card pulled mid-update is taken when it comes back, not after its back-off; meanwhile every output shows it absent",
     {"env LORA_BACKOFF=60,60", "updater late10", "plug 1-1 ttyACM0 0311 S1", "start", "runs 1", "unplug ttyACM0", "wait 1.5",
      "lora-cards --inventory; lc --metrics . && cat lora_cards.prom; lc | tr -s ' '", "shows 1 lora_card_1-1_present=no",
      "shows 1 lora_cards_absent=1", "shows 1 lora_card_present{port=\"1-1\"} 0", "shows 1  1 no retrying", "shows 0 lora_models=",
      "plug 1-1 ttyACM3 0311 S1", "runs 2", "state 1-1 done 2", "lora-cards --inventory", "shows 1 lora_card_1-1_present=yes",
      "shows 1 lora_cards_absent=0", "shows 1 lora_models=ZL9B", "shows 1 lora_fw_versions=ZL9B:2.4.1"}},
    {"a card with no serial number: its return from our update is not an arrival, a new one is",
     {"plug 1-1 ttyACM0 0312 -", "start", "runs 1", "unplug ttyACM0", "wait 1", "plug 1-1 ttyACM0 0312 -", "runs 1", "unplug ttyACM0",
      "wait 1", "plug 1-1 ttyACM0 0312 -", "runs 2", "stop", "start", "runs 2"}},
    {"a card with no serial number that resets after its failed tries keeps counting them",
     {"env LORA_BACKOFF=60,60", "updater 10 10 10", "plug 1-1 ttyACM0 0312 -", "start", "runs 1", "plug 1-1 ttyACM0 0312 -", "runs 2",
      "plug 1-1 ttyACM0 0312 -", "runs 3", "state 1-1 given_up 3"}},
    {"a card with a serial number comes back: nothing; another card on its port: updated",
     {"plug 1-1 ttyACM0 0312 S1", "start", "runs 1", "unplug ttyACM0", "wait 1", "plug 1-1 ttyACM0 0312 S1", "wait 1", "unplug ttyACM0",
      "wait 1", "plug 1-1 ttyACM0 0312 S1", "runs 1", "plug 1-1 ttyACM0 0312 S9", "runs 2"}},
    {"content decides: touch and identical copies touch no card, a new content does, a file that is not a distro none",
     {"plug 1-1 ttyACM0 0310 S1", "plug 1-2 ttyACM1 0312 S2", "start", "runs 2", "sh touch $D/* && chmod 600 $D/* && chmod 644 $D/*",
      "sh cp -p $D/lora_gw_2g4.dist x && mv x $D/", "runs 2", "sh printf 'support=rev2\\nfw_version=9\\nfirmware=00\\n' >x && mv x $D/lora_zl9ab.dist", "runs 3",
      "state 1-1 done 1", "state 1-2 done 1", "sh : >x && mv x $D/lora_zl9ab.dist", "runs 3", "state 1-1 done 1",
      "said 1 lora_zl9ab.dist: not a distro: no firmware page; no support; no fw_version: nothing is sent to its cards until a distro replaces it",
      "lora-cards --check root/pckg/iot/distros/lora_gw_2g4.dist root/pckg/iot/distros/lora_zl9ab.dist", "shows 1 exit 1",
      "shows 1 lora_gw_2g4.dist: a distro for rev2, fw_version 2.4.1, fw_crc -, 1 page, the longest of 2 characters",
      "lora-cards --fw-version root/pckg/iot/distros/lora_gw_2g4.dist; lc --fw-version root/pckg/iot/distros/lora_zl9ab.dist",
      "shows 1 exit 0", "shows 1 exit 1", "shows 1 2.4.1", "lora-cards --wait lora_zl9ab.dist", "shows 1 exit 1",
      "shows 1 ttyACM0 (usb 1-1): not updated with lora_zl9ab.dist, not a distro: no firmware page"}},
    {"a distro moved out: one line, nothing sent; moved back: nothing",
     {"plug 1-1 ttyACM0 0310 S1", "start", "runs 1", "sh mv $D/lora_zl9ab.dist .", "wait 1", "plug 1-2 ttyACM1 0311 S2", "runs 1",
      "said 1 lora_zl9ab.dist: missing: nothing is sent", "sh mv lora_zl9ab.dist $D/", "runs 2", "state 1-2 done 1"}},
    {"a distro written without a pause is taken once it is whole",
     {"env LORA_QUIET=1", "start", "plug 1-1 ttyACM0 0310 S1", "sh (for i in $(seq 30); do echo >>$D/lora_zl9ab.dist; sleep 0.1; done) &",
      "runs 0", "runs 1"}},
    {"side by side: every card that needs it at once; a card plugged, or a distro changed, joins them; never two on one card; a stop reaches each",
     {"updater ttyACM0 slow ttyACM1 slow ttyACM2 0 slow", "plug 1-1 ttyACM0 0310 S1 1-2 ttyACM1 0312 S2 1-3 ttyACM2 0313 S3", "start", "runs 3", "state 1-3 done 1",
      "sh printf 'support=rev2\\nfw_version=9\\nfirmware=00\\n' >x && mv x $D/lora_zl9abH.dist", "runs 4",
      "sh cp $D/lora_zl9abH.dist x && mv x $D/lora_zl9ab.dist", "runs 4", "plug 1-4 ttyACM3 0311 S4", "runs 5", "state 1-4 done 1", "stop", "exit 0",
      "state 1-1 stopped 0", "state 1-2 stopped 0", "state 1-3 stopped 0", "said 3 update status 6, stopped"}},
    {"LORA_PARALLEL=1: one card at a time; a value that is not a whole number from 1 up refuses the start",
     {"env LORA_PARALLEL=0", "start", "ends", "exit 2", "said 1 LORA_PARALLEL is not a whole number from 1 up: \"0\"", "env LORA_PARALLEL=1",
      "updater slow 0 0", "plug 1-1 ttyACM0 0310 S1 1-2 ttyACM1 0312 S2", "start", "runs 1", "stop", "state 1-1 stopped 0", "start", "runs 3",
      "state 1-2 done 1"}},
    {"side by side with the forwarder: stopped once for the series, a card plugged meanwhile joins it, started once every card is back",
     {"env LORA_FORWARDER=fwd.service", "updater late late late", "plug 1-1 ttyACM0 0310 S1 1-2 ttyACM1 0312 S2", "forwarder fwd.service active",
      "start", "runs 2", "plug 1-3 ttyACM2 0313 S3", "runs 3", "wait 1", "file run/updating yes", "plug 1-1 ttyACM0 0310 S1 1-2 ttyACM1 0312 S2 1-3 ttyACM2 0313 S3",
      "file run/updating no", "wait 1", "said 1 fwd.service stopped for the cards' updates", "said 1 fwd.service started again"}},
    {"a stop during an update: stopped, not a try, taken at the next start",
     {"updater slow 0", "plug 1-1 ttyACM0 0310 S1", "start", "runs 1", "stop", "exit 0", "state 1-1 stopped 0",
      "said 1 update status 6, stopped", "start", "runs 2", "state 1-1 done 1"}},
    {"a hold keeps every card, across a restart; the release takes what is pending; a terminal it cannot open is passed over, not tried",
     {"lora-cards --hold", "plug 1-1 ttyACM0 0310 S1", "start", "runs 0", "stop", "start", "runs 0", "sh rm root/dev/ttyACM0",
      "lora-cards --inventory; lc --metrics . && cat lora_cards.prom; lc", "shows 1 lora_cards_held=yes", "shows 1 lora_cards_held 1",
      "shows 1 lifts the hold", "shows 0 lora_cards_hold_timestamp_seconds 0", "lora-cards --release", "runs 0", "sh touch root/dev/ttyACM0", "runs 1", "state 1-1 done 1"}},
    {"forget: the card is updated again; the state shows; a bad port is a usage error and removes nothing",
     {"plug 1-1 ttyACM0 0310 S1", "start", "runs 1", "lora-cards | tr -s ' '", "shows 1 1-1 ttyACM0 ZL9A S1 2.4.1", "lora-cards --forget 9-9",
      "shows 1 no state for a card on usb 9-9", "lora-cards --forget ..; lc --forget ../cards/1-1; lc --forget ''; lc --forget", "shows 4 exit 2",
      "shows 3 not a USB port name", "file state/cards/1-1 yes", "lora-cards --forget 1-1", "runs 2"}},
    {"--wait: the cards of the changed distros until they end; one given up fails it, a hold only if a card waits; its time limit",
     {"updater 0 0 6 6 6", "plug 1-1 ttyACM0 0310 S1 1-2 ttyACM1 0312 S2", "start", "runs 2", "sh printf 'support=rev2\\nfw_version=9\\nfirmware=00\\n' >x && mv x $D/lora_zl9ab.dist",
      "lora-cards --wait lora_zl9ab.dist lora_gw_2g4.dist", "shows 1 ttyACM1 (usb 1-2): done", "shows 1 exit 1", "runs 5",
      "shows 1 ttyACM0 (usb 1-1): given up with lora_zl9ab.dist, fw_version 9, update status 6", "lora-cards --hold", "lora-cards --wait lora_gw_2g4.dist",
      "shows 1 exit 0", "lora-cards --wait lora_zl9ab", "shows 1 exit 2", "updater slow", "lora-cards --release", "env LORA_WAIT=1",
      "sh printf 'support=rev2\\nfw_version=10\\nfirmware=00\\n' >x && mv x $D/lora_gw_2g4.dist", "lora-cards --wait lora_gw_2g4.dist", "shows 1 exit 1",
      "shows 1 ttyACM1 (usb 1-2): not done with lora_gw_2g4.dist after 1 s"}},
    {"the forwarder: root stops the unit of the service's configuration, not one the request names, and starts it once the card is back",
     {"env LORA_FORWARDER=fwd.service", "env LORA_BACKOFF=5,5", "updater 6 0", "plug 1-1 ttyACM0 0310 S1", "forwarder fwd.service active",
      "sh mkdir -p run-forwarder && echo 0 >run-forwarder/forwarder-off && printf 'victim.service\\n0\\n' >run/updating", "start", "runs 0",
      "runs 1", "unplug ttyACM0", "wait 0.6", "plug 1-1 ttyACM0 0310 S1", "wait 1", "file run/updating yes", "runs 2", "unplug ttyACM0", "wait 0.6",
      "plug 1-1 ttyACM0 0310 S1", "file run/updating no", "wait 1", "sh touch $D/lora_zl9ab.dist", "wait 1", "file run/updating no",
      "sh cat systemctl >>out", "said 0 victim", "said 1 fwd.service stopped for the cards' updates", "said 1 fwd.service started again"}},
    {"the forwarder: a unit not named plainly is not stopped",
     {"env LORA_FORWARDER=fwd.service", "plug 1-1 ttyACM0 0310 S1", "forwarder fwd.socket active", "start", "runs 1",
      "said 1 LORA_FORWARDER names no service: \"fwd.socket\"", "sh cat systemctl >>out", "said 0 stop"}},
    {"the forwarder: one the operator stopped stays stopped",
     {"env LORA_FORWARDER=fwd.service", "plug 1-1 ttyACM0 0310 S1", "forwarder fwd.service inactive", "start", "runs 1", "unplug ttyACM0",
      "wait 0.6", "plug 1-1 ttyACM0 0310 S1", "file run/updating no", "wait 1", "sh cat systemctl >>out", "said 1 ActiveState -- fwd.service",
      "said 0 stop", "said 0 start"}},
};

// Plays a row in a gateway of its own; returns why it failed, or nothing.
std::string play(const Row &row, Gateway &g)
{
    sh("mkdir -p " + g.dir + "/state " + g.dir + "/run " + g.dir + "/bin " + g.root + "/dev " + g.root + "/sys/class/tty " + g.root + "/pckg/iot/distros");
    std::ofstream(g.dir + "/runs");
    std::ofstream(g.dir + "/statuses");
    std::ofstream(g.dir + "/updater") << UPDATER;
    chmod((g.dir + "/updater").c_str(), 0755);
    for (const char *d : {"lora_zl9ab.dist", "lora_gw_2g4.dist", "lora_zl9abH.dist"})
        std::ofstream(g.root + "/pckg/iot/distros/" + d) << "support=rev2\nfw_version=2.4.1\nfirmware=00\n";
    std::string why;
    for (const char *s : row.steps) {
        std::istringstream in(s);
        if (!step(g, in, why)) {
            why = std::string(s) + ": " + why;
            break;
        }
    }
    if (g.pid > 0) kill(-g.pid, SIGKILL), waitpid(g.pid, nullptr, 0);
    sh("rm -r " + g.dir + "/run");  // with the service's runtime directory goes its forwarder helper
    return why;
}

// Each row's reason to fail and the service's output, by row name.
std::map<std::string, std::pair<std::string, std::string>> played;

// The rows play all at once, each in a process of its own: a row mostly waits for its service.
class Cards : public testing::TestWithParam<Row> {
public:
    static void SetUpTestSuite()
    {
        std::vector<std::pair<pid_t, std::string>> rows;
        for (const Row &row : ROWS) {
            char tmpl[] = "/tmp/lora-cards-test.XXXXXX";
            if (!mkdtemp(tmpl)) continue;
            pid_t pid = fork();
            if (pid == 0) {
                Gateway g;
                g.dir = tmpl, g.root = g.dir + "/root";
                std::string why = play(row, g);
                std::ofstream(g.dir + "/why") << "played:" << why;
                _exit(0);
            }
            rows.emplace_back(pid, tmpl);
        }
        for (size_t i = 0; i < rows.size(); i++) {
            waitpid(rows[i].first, nullptr, 0);
            std::string why = slurp(rows[i].second + "/why");
            why = why.rfind("played:", 0) == 0 ? why.substr(7) : "the row did not play to its end";
            played[ROWS[i].name] = {why, slurp(rows[i].second + "/out")};
            if (why.empty()) sh("rm -rf " + rows[i].second);
        }
    }
};

TEST_P(Cards, Row)
{
    ASSERT_EQ(played.count(GetParam().name), 1U) << "the row could not start";
    EXPECT_EQ(played[GetParam().name].first, "") << "service output:\n" << played[GetParam().name].second;
}

INSTANTIATE_TEST_SUITE_P(Service, Cards, testing::ValuesIn(ROWS), [](const testing::TestParamInfo<Row> &i) {
    std::string n;
    for (const char *p = i.param.name; *p; p++) n += isalnum(*p) ? *p : '_';
    return n;
});

}  // namespace
