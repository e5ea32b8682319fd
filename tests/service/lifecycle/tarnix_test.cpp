// The tarnix program end to end, on a temporary store and runtime directory:
// install, start, the states seen by query, controls, stop, refusals.
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/store_layout.h"
#include "platform/core/clock.h"
#include "platform/registry/registry.h"
#include "platform/scm/scm.h"
#include "service/lifecycle/admin.h"
#include "tests/support/process.h"
#include "tests/support/wait_until.h"

namespace varolan::service {
namespace {

namespace fs = std::filesystem;
using scm::SERVICE_STATUS;
using test::ScopedEnv;
using test::TempDir;
using test::wait_until;

struct Result {
    int status = -1;
    std::string out, err;
};

std::string read_file(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class TarnixTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(tarnix_.empty()) << "tarnix not built below " << test::build_dir();
        // Started services are orphans of a double fork: make this process their
        // reaper so the test can see them end and take their exit status.
        ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
        fs::create_directories(gate_dir());
        reg::reset_store();
    }
    void TearDown() override {
        // Nothing may outlive the test. A service that never started left pid 0.
        for (int pid : started_) {
            test::kill_and_reap(pid);
        }
        reg::reset_store();
    }

    std::string gate_dir() const { return dir_.str("gate"); }
    void hold(const char* state) { std::ofstream(gate_dir() + "/hold-" + state) << "x"; }
    void release(const char* state) { fs::remove(gate_dir() + "/hold-" + state); }

    // Runs tarnix with `args` (and extra environment assignments in front).
    Result tarnix(const std::string& args, const std::string& env = "") {
        return run_program(tarnix_, args, env);
    }
    Result run_program(const fs::path& program, const std::string& args,
                       const std::string& env = "") {
        const std::string out = dir_.str("out.txt");
        const std::string err = dir_.str("err.txt");
        const std::string command = env + (env.empty() ? "" : " ") + "'" + program.string() + "' " +
                                    args + " >'" + out + "' 2>'" + err + "' </dev/null";
        Result run;
        const int raw = std::system(command.c_str());
        run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        run.out = read_file(out);
        run.err = read_file(err);
        return run;
    }

    SERVICE_STATUS query() {
        SERVICE_STATUS s;
        EXPECT_EQ(scm::query_service_status(service_, &s), ERROR_SUCCESS);
        return s;
    }
    bool wait_state(DWORD state) {
        return wait_until([&] { return query().dwCurrentState == state; });
    }
    void open_handles() {
        ASSERT_EQ(scm::open_sc_manager(scm::SC_MANAGER_ALL_ACCESS, manager_), ERROR_SUCCESS);
        ASSERT_EQ(scm::open_service(manager_, "Varolan", scm::SERVICE_ALL_ACCESS, service_),
                  ERROR_SUCCESS);
    }
    int service_pid() {
        std::ifstream lock(dir_.str("run/varolan.lock"));
        int pid = 0;
        lock >> pid;
        return pid;
    }
    int start_and_note_pid() {
        EXPECT_EQ(scm::start_service(service_), ERROR_SUCCESS);
        const int pid = service_pid();
        EXPECT_GT(pid, 0);
        if (pid > 0) {
            started_.push_back(pid);
        }
        return pid;
    }
    // Starts "tarnix console" with its standard error going to `err`; its
    // process id (-1 when it could not be started).
    pid_t start_console(const std::string& err) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            std::FILE* f = std::freopen(err.c_str(), "w", stderr);
            (void)f;
            ::execl(tarnix_.c_str(), "tarnix", "console", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        if (pid > 0) {
            started_.push_back(pid);
        }
        return pid;
    }
    // Waits for the end of a started service; its exit status or -1.
    int wait_exit(int pid) {
        if (pid <= 0) {
            return -1;  // waitpid would take any child of ours
        }
        int st = 0;
        pid_t r = 0;
        wait_until([&] {
            r = ::waitpid(pid, &st, WNOHANG);
            return r != 0;
        });
        if (r != pid) {
            return -1;
        }
        std::erase(started_, pid);
        return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }

    const fs::path tarnix_ = test::program_path("tarnix");
    TempDir dir_;
    ScopedEnv store_{"VAROLAN_REGISTRY", dir_.str("registry.db")};
    ScopedEnv runtime_{scm::RUNTIME_DIR_ENV, dir_.str("run")};
    ScopedEnv gate_{scm::TEST_GATE_ENV, gate_dir()};
    ScopedEnv marker_{scm::SERVICE_MARKER_ENV, std::nullopt};
    ScopedEnv notify_{"NOTIFY_SOCKET", std::nullopt};
    scm::ScHandle manager_;
    scm::ScHandle service_;
    std::vector<int> started_;
};

TEST_F(TarnixTest, FromAShellWithoutSubcommandItPointsToStartAndConsole) {
    const Result run = tarnix("");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "");
    ASSERT_FALSE(run.err.empty());
    EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << "one line: " << run.err;
    EXPECT_NE(run.err.find("tarnix start"), std::string::npos);
    EXPECT_NE(run.err.find("tarnix console"), std::string::npos);
    EXPECT_FALSE(fs::exists(dir_.str("run")))
        << "no endpoint for a process not started as a service";
    EXPECT_EQ(tarnix("bogus").status, 2);
}

TEST_F(TarnixTest, InstallRegistersAndWritesFirstValuesOnlyWhereNoneExist) {
    EXPECT_EQ(tarnix("status").status, 1) << "not installed yet";
    {
        reg::Key product;
        ASSERT_EQ(reg::create_key(reg::hklm(), layout::PRODUCT_KEY, reg::KEY_ALL_ACCESS, product),
                  ERROR_SUCCESS);
        const std::uint32_t port = 2323;
        ASSERT_EQ(reg::set_value(product, layout::VALUE_TELNET_PORT, reg::REG_DWORD,
                                 reinterpret_cast<const std::uint8_t*>(&port), sizeof port),
                  ERROR_SUCCESS);
        const std::uint8_t prompt[] = {'H', 'i', 0};
        ASSERT_EQ(reg::set_value(product, layout::VALUE_PROMPT, reg::REG_SZ, prompt, sizeof prompt),
                  ERROR_SUCCESS);
    }
    const Result run = tarnix("install");
    ASSERT_EQ(run.status, 0) << run.err;
    open_handles();
    EXPECT_EQ(fs::path(service_.image_path()), fs::canonical(tarnix_));

    reg::Key product;
    ASSERT_EQ(reg::open_key(reg::hklm(), layout::PRODUCT_KEY, reg::KEY_READ, product),
              ERROR_SUCCESS);
    struct Want {
        const char* name;
        DWORD type;
        std::vector<std::uint8_t> data;
    } wants[] = {
        {layout::VALUE_ESCAPE_CHAR, reg::REG_SZ, {0x1D, 0}},
        {layout::VALUE_NUMBER_OF_PORTS, reg::REG_DWORD, {0, 0, 0, 0}},
        {layout::VALUE_TELNET_PORT, reg::REG_DWORD, {0x13, 0x09, 0, 0}},  // kept: 2323
        // Empty where missing, so that the utility's first run reads them.
        {layout::VALUE_TERMINAL_TYPE, reg::REG_SZ, {0}},
        {layout::VALUE_PROMPT, reg::REG_SZ, {'H', 'i', 0}},  // kept
    };
    for (const Want& w : wants) {
        std::uint8_t data[64] = {};
        DWORD size = sizeof data;
        DWORD type = 0;
        ASSERT_EQ(reg::query_value(product, w.name, &type, data, &size), ERROR_SUCCESS) << w.name;
        EXPECT_EQ(type, w.type) << w.name;
        EXPECT_EQ(std::vector<std::uint8_t>(data, data + size), w.data) << w.name;
    }
    EXPECT_EQ(tarnix("install").status, 0) << "installing again is harmless";
    EXPECT_EQ(tarnix("status").out, "STOPPED\n");
    EXPECT_EQ(tarnix("remove").status, 0);
    EXPECT_EQ(tarnix("status").status, 1);
}

TEST_F(TarnixTest, StartQueryControlAndStop) {
    ASSERT_EQ(tarnix("install").status, 0);
    open_handles();

    // Held before RUNNING is reported: the service is seen starting.
    hold("RUNNING");
    const int pid = start_and_note_pid();
    ASSERT_TRUE(wait_until([&] {
        SERVICE_STATUS s = query();
        return s.dwCurrentState == scm::SERVICE_START_PENDING && s.dwCheckPoint == 2;
    }));
    SERVICE_STATUS s = query();
    EXPECT_EQ(s.dwControlsAccepted, 0u);
    EXPECT_EQ(s.dwWaitHint, 1000u);
    EXPECT_EQ(scm::control_service(service_, scm::SERVICE_CONTROL_STOP, &s),
              ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
    EXPECT_EQ(tarnix("status").out, "START_PENDING\n0 sessions\n");
    EXPECT_EQ(scm::start_service(service_), ERROR_SERVICE_ALREADY_RUNNING);

    // A second instance started as the service does not take the endpoint over.
    const Result second = tarnix("", "VAROLAN_SERVICE=Varolan");
    EXPECT_EQ(second.status, 1);
    EXPECT_NE(second.err.find("already running"), std::string::npos) << second.err;
    EXPECT_EQ(service_pid(), pid);
    EXPECT_EQ(query().dwCurrentState, scm::SERVICE_START_PENDING);

    release("RUNNING");
    ASSERT_TRUE(wait_state(scm::SERVICE_RUNNING));
    EXPECT_EQ(query().dwControlsAccepted,
              scm::SERVICE_ACCEPT_STOP | scm::SERVICE_ACCEPT_PAUSE_CONTINUE);

    struct Step {
        const char* command;
        const char* printed;
    } steps[] = {
        {"status", "RUNNING\n0 sessions\n"},
        {"continue", "RUNNING\n"},
        {"pause", "PAUSED\n"},
        {"pause", "PAUSED\n"},
        {"status", "PAUSED\n0 sessions\n"},
        {"continue", "RUNNING\n"},
        {"continue", "RUNNING\n"},
    };
    for (const Step& step : steps) {
        const Result run = tarnix(step.command);
        EXPECT_EQ(run.status, 0) << step.command << ": " << run.err;
        EXPECT_EQ(run.out, step.printed) << step.command;
    }
    EXPECT_EQ(tarnix("remove").status, 1) << "refused while running";
    EXPECT_EQ(tarnix("start").status, 1) << "already running";

    // Held before STOPPED is reported: the service is seen stopping.
    hold("STOPPED");
    ASSERT_EQ(scm::control_service(service_, scm::SERVICE_CONTROL_STOP, &s), ERROR_SUCCESS);
    EXPECT_EQ(s.dwCurrentState, scm::SERVICE_STOP_PENDING);
    EXPECT_EQ(s.dwCheckPoint, 1u);
    EXPECT_EQ(s.dwWaitHint, 3000u);
    EXPECT_EQ(query().dwCurrentState, scm::SERVICE_STOP_PENDING);
    EXPECT_EQ(scm::control_service(service_, scm::SERVICE_CONTROL_PAUSE, &s),
              ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
    release("STOPPED");
    EXPECT_EQ(wait_exit(pid), 0);
    EXPECT_EQ(query().dwCurrentState, scm::SERVICE_STOPPED);
    EXPECT_FALSE(fs::exists(dir_.str("run/varolan.ctl")));
    EXPECT_EQ(scm::control_service(service_, scm::SERVICE_CONTROL_STOP, &s),
              ERROR_SERVICE_NOT_ACTIVE);
}

TEST_F(TarnixTest, KilledServiceLeavesAStaleEndpointThatTheNextStartReplaces) {
    ASSERT_EQ(tarnix("install").status, 0);
    open_handles();
    const int first = start_and_note_pid();
    ASSERT_TRUE(wait_state(scm::SERVICE_RUNNING));
    ASSERT_TRUE(test::signal_process(first, SIGKILL));
    EXPECT_EQ(wait_exit(first), 128 + SIGKILL);
    EXPECT_TRUE(fs::exists(dir_.str("run/varolan.ctl")));
    EXPECT_EQ(query().dwCurrentState, scm::SERVICE_STOPPED);

    const int second = start_and_note_pid();
    ASSERT_NE(second, first);
    ASSERT_TRUE(wait_state(scm::SERVICE_RUNNING));
    // SIGTERM is a STOP: the service ends normally.
    ASSERT_TRUE(test::signal_process(second, SIGTERM));
    EXPECT_EQ(wait_exit(second), 0);
    EXPECT_EQ(query().dwCurrentState, scm::SERVICE_STOPPED);
}

TEST_F(TarnixTest, ConsoleRunsInTheForegroundUntilInterrupted) {
    ASSERT_EQ(tarnix("install").status, 0);
    open_handles();
    const std::string err = dir_.str("console-err.txt");
    const pid_t pid = start_console(err);
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(wait_state(scm::SERVICE_RUNNING));
    EXPECT_EQ(tarnix("status").out, "RUNNING\n0 sessions\n");
    EXPECT_EQ(tarnix("console").status, 1) << "one instance at a time";
    ASSERT_TRUE(test::signal_process(pid, SIGINT));
    EXPECT_EQ(wait_exit(pid), 0);
    const std::string text = read_file(err);
    for (const char* line : {"Varolan: START_PENDING (check point 1, wait hint 1000 ms)\n",
                             "Varolan: START_PENDING (check point 2, wait hint 1000 ms)\n",
                             "Varolan: RUNNING (check point 0, wait hint 0 ms)\n",
                             "Varolan: STOP_PENDING (check point 1, wait hint 3000 ms)\n",
                             "Varolan: STOPPED (check point 0, wait hint 0 ms)\n"}) {
        EXPECT_NE(text.find(line), std::string::npos) << line << " in:\n" << text;
    }
}

// --- the store ----------------------------------------------------------------------

class TarnixStoreTest : public TarnixTest {
  protected:
    static bool is_root() { return ::geteuid() == 0 && ::getpwnam("nobody") != nullptr; }
    void give_to_nobody(const std::string& path) {
        const passwd* nobody = ::getpwnam("nobody");
        ASSERT_EQ(::chown(path.c_str(), nobody->pw_uid, nobody->pw_gid), 0) << path;
    }
    std::string store() const { return dir_.str("registry.db"); }
};

void expect_one_line(const std::string& text, const std::string& part) {
    EXPECT_NE(text.find(part), std::string::npos) << text;
    EXPECT_EQ(text.find('\n'), text.size() - 1) << "one line: " << text;
}

// Run as root, the tools act only on a store nobody else could have changed:
// tarnix and maintain refuse it in one line naming the path, varolan-reg warns
// and goes on; the service account's store is root's to use, and install
// gives it the store it makes.
TEST_F(TarnixStoreTest, RootRefusesAStoreAnotherAccountCouldChange) {
    if (!is_root()) {
        GTEST_SKIP() << "needs root and the nobody account";
    }
    ASSERT_EQ(tarnix("install").status, 0);
    // Only the file's own mode keeps another account out.
    ASSERT_EQ(::chmod(dir_.str().c_str(), 0755), 0);
    const std::string as_nobody = "setpriv --reuid=nobody --regid=nogroup --clear-groups ";
    const std::string query = " query 'Software\\Brismoor\\Varolan\\Version 1.3' >/dev/null 2>&1";
    const std::string reg_tool = "'" + test::program_path("varolan-reg").string() + "'";
    if (std::system((as_nobody + "test -x " + reg_tool).c_str()) == 0) {
        EXPECT_NE(std::system((as_nobody + reg_tool + query).c_str()), 0) << "nobody reads it";
        EXPECT_EQ(std::system((reg_tool + query).c_str()), 0);
    }
    ASSERT_EQ(::chmod(dir_.str().c_str(), 0700), 0);

    give_to_nobody(store());
    const std::string owned = "store file '" + store() + "' is owned by another account, nobody";
    for (const char* command : {"start", "install", "remove"}) {
        const Result run = tarnix(command);
        EXPECT_EQ(run.status, 1) << command;
        expect_one_line(run.err, owned);
    }
    // maintain stops before its screen when it refuses the store.
    const Result app = run_program(test::program_path("maintain"), "");
    EXPECT_EQ(app.status, 255);
    expect_one_line(app.err, owned);
    const Result warned = run_program(test::program_path("varolan-reg"),
                                      "query 'Software\\Brismoor\\Varolan\\Version 1.3'");
    EXPECT_EQ(warned.status, 0) << warned.err;
    expect_one_line(warned.err, "warning: " + owned);
    EXPECT_NE(warned.out.find("Number of Ports"), std::string::npos) << "and goes on";

    // The service account's store is trusted; installing gives it the
    // directory that holds nothing but the store.
    ASSERT_EQ(::chown(store().c_str(), 0, 0), 0);
    const Result given = tarnix("install", "VAROLAN_SERVICE_ACCOUNT=nobody");
    EXPECT_EQ(given.status, 0) << given.err;
    struct stat st {};
    ASSERT_EQ(::stat(store().c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, ::getpwnam("nobody")->pw_uid);
    EXPECT_EQ(tarnix("status", "VAROLAN_SERVICE_ACCOUNT=nobody").out, "STOPPED\n");

    // A directory others can write, and a program another account owns.
    ASSERT_EQ(::chown(store().c_str(), 0, 0), 0);
    ASSERT_EQ(::chmod(dir_.str().c_str(), 0777), 0);
    expect_one_line(tarnix("start").err,
                    "store directory '" + dir_.str() + "' can be written by other accounts");
    ASSERT_EQ(::chmod(dir_.str().c_str(), 0700), 0);
    const std::string copy = dir_.str("tarnix-copy");
    fs::copy_file(tarnix_, copy);
    give_to_nobody(copy);
    open_handles();
    ASSERT_EQ(scm::create_service(manager_, "Varolan", copy), ERROR_SUCCESS);
    const Result foreign = tarnix("start");
    EXPECT_EQ(foreign.status, 1);
    expect_one_line(foreign.err, "service program '" + copy + "' is owned by another account");
    EXPECT_EQ(tarnix("status").out, "STOPPED\n") << "nothing was started";
}

// A store that is damaged or empty stops the start with the reason, the path
// and SQLite's own message, whether tarnix starts it or it is started as the
// service; a service started on such a store ends with the status that tells
// its supervisor not to start it again.
TEST_F(TarnixStoreTest, DamagedStoreStopsTheStartWithTheReason) {
    ASSERT_EQ(tarnix("install").status, 0);
    struct Case {
        const char* what;
        std::string contents;
        std::string reason;
    } cases[] = {
        {"not a database", std::string(8192, 'x'),
         "store file '" + store() + "' is not a valid database (file is not a database)"},
        {"emptied", "", "store file '" + store() + "' is empty"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        reg::reset_store();
        for (const char* file : {"-wal", "-shm"}) {
            fs::remove(store() + file);
        }
        std::ofstream(store(), std::ios::binary | std::ios::trunc) << c.contents;
        const Result start = tarnix("start");
        EXPECT_EQ(start.status, 1);
        expect_one_line(start.err, c.reason);
        // A service that wrongly started is stopped after a while.
        const Result service =
            run_program("/usr/bin/timeout", "-s INT 30 '" + tarnix_.string() + "' console");
        EXPECT_EQ(service.status, STORE_UNUSABLE_EXIT);
        EXPECT_NE(service.err.find(c.reason), std::string::npos) << service.err;
        EXPECT_NE(service.err.find("STOPPED"), std::string::npos) << service.err;
        EXPECT_EQ(service.err.find("RUNNING"), std::string::npos) << service.err;
    }
}

// A running service is seen and stopped through its endpoint whatever became
// of the store after it started.
TEST_F(TarnixStoreTest, StatusAndStopWorkWithTheStoreGoneOrDamaged) {
    for (const bool damaged : {false, true}) {
        SCOPED_TRACE(damaged ? "damaged" : "gone");
        reg::reset_store();
        fs::remove(store());
        ASSERT_EQ(tarnix("install").status, 0);
        const Result start = tarnix("start");
        ASSERT_EQ(start.status, 0) << start.err;
        started_.push_back(service_pid());
        reg::reset_store();
        for (const char* file : {"", "-wal", "-shm"}) {
            fs::remove(store() + file);
        }
        if (damaged) {
            std::ofstream(store(), std::ios::binary) << std::string(8192, 'x');
        }
        EXPECT_EQ(tarnix("status").out, "RUNNING\n0 sessions\n");
        EXPECT_EQ(tarnix("pause").out, "PAUSED\n");
        EXPECT_EQ(tarnix("continue").out, "RUNNING\n");
        const Result stop = tarnix("stop");
        EXPECT_EQ(stop.status, 0) << stop.err;
        EXPECT_EQ(stop.out, "STOP_PENDING\nSTOPPED\n");
        EXPECT_EQ(wait_exit(started_.back()), 0);
    }
}

// "Number of Ports" 0xFFFFFFFF is cut to the port keys there are, and the
// cut is logged: the start-up does not try four billion indexes.
TEST_F(TarnixStoreTest, HugeNumberOfPortsIsCutToThePortKeys) {
    ASSERT_EQ(tarnix("install").status, 0);
    {
        const std::string port = std::string(layout::PRODUCT_KEY) + "\\Serial0";
        reg::Key key;
        ASSERT_EQ(reg::create_key(reg::hklm(), port, reg::KEY_ALL_ACCESS, key), ERROR_SUCCESS);
        const std::uint32_t flags = layout::DEVICE_NOT_MANAGED;
        ASSERT_EQ(reg::set_value(key, layout::VALUE_DEVICE_FLAGS, reg::REG_DWORD,
                                 reinterpret_cast<const std::uint8_t*>(&flags), sizeof flags),
                  ERROR_SUCCESS);
        reg::Key product;
        ASSERT_EQ(reg::open_key(reg::hklm(), layout::PRODUCT_KEY, reg::KEY_ALL_ACCESS, product),
                  ERROR_SUCCESS);
        const std::uint32_t count = 0xFFFFFFFF;
        ASSERT_EQ(reg::set_value(product, layout::VALUE_NUMBER_OF_PORTS, reg::REG_DWORD,
                                 reinterpret_cast<const std::uint8_t*>(&count), sizeof count),
                  ERROR_SUCCESS);
        reg::reset_store();
    }
    const std::string err = dir_.str("console-err.txt");
    const pid_t pid = start_console(err);
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(wait_until([&] {
        return read_file(err).find(
                   "\"Number of Ports\" is 4294967295 but 1 port keys exist: "
                   "trying 1") != std::string::npos;
    })) << read_file(err);
    ASSERT_TRUE(test::signal_process(pid, SIGINT));
    EXPECT_EQ(wait_exit(pid), 0);
}

}  // namespace
}  // namespace varolan::service
