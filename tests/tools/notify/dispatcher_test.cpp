// The dispatcher with real programs and stub sendmails in a private
// folder, on a clock the test moves: failures retried and reported once,
// hanging programs, the limit of four at once, and owed deliveries kept in
// the history across a restart.
#include <gtest/gtest.h>

#include <atomic>
#include <algorithm>
#include <filesystem>
#include <sstream>
#include <thread>

#include <signal.h>

#include "../../testservice/temp_dir.h"
#include "notify/dispatcher.h"
#include "notify/listen_notify.h"
#include "notify/notify_settings.h"
#include "notify_test_support.h"
#if defined(PLATEWISE_HAVE_HISTORY)
#include "history/event_store.h"
#include "history/history_store.h"
#include "notify/history_outbox.h"
#endif

namespace {

using platewise::notify::Dispatcher;
using platewise::notify::DispatchSettings;
using platewise::notify::NotifySettings;

constexpr std::int64_t kStart = 1'796'684'129'000;

struct Clock {
    std::atomic<std::int64_t> now{kStart};
    std::function<std::int64_t()> fn()
    {
        return [this]() { return now.load(); };
    }
};

DispatchSettings settings_for(const NotifySettings& notify, Clock& clock, notifytest::Log& log)
{
    DispatchSettings d;
    d.channels = platewise::notify::make_channels(notify);
    d.host = "web01";
    d.clock = clock.fn();
    d.log = log.sink();
    return d;
}

TEST(Dispatcher, AFailingSendmailIsRetriedWithBackOffAndReportedOnce)
{
    struct Row {
        const char* name;
        std::string sendmail;  // body of the stub, or "" for none at all
        std::string detail;    // in the one report
    };
    const std::vector<Row> rows = {
        {"sendmail missing", "", "could not be run"},
        {"sendmail exits 75", "cat >/dev/null; echo 'mail queue full' >&2; exit 75", "exited with 75"},
        {"sendmail hangs", "sleep 30", "killed after its time limit"},
    };
    for (const Row& row : rows) {
        TempDir dir;
        const std::string sendmail = dir / "sendmail";
        if (!row.sendmail.empty()) {
            notifytest::script(sendmail, row.sendmail);
        }
        NotifySettings notify;
        notify.mail = {"root"};
        notify.sendmail = sendmail;
        notify.time_limit_seconds = 0.3;
        Clock clock;
        notifytest::Log log;
        Dispatcher dispatcher(settings_for(notify, clock, log));
        dispatcher.start();
        dispatcher.pass({notifytest::event("S1", "DEGRADING", "FAILING NOW")}, kStart);
        ASSERT_TRUE(dispatcher.wait_idle(10000)) << row.name;
        EXPECT_EQ(dispatcher.failures()["mail"], 1u) << row.name;
        // Retried after a minute, then two, then four: three more failures,
        // still one report.
        for (const std::int64_t minutes : {1, 3, 7}) {
            clock.now = kStart + minutes * 60 * 1000 + 1000;
            dispatcher.poke();
            ASSERT_TRUE(dispatcher.wait_idle(10000)) << row.name;
        }
        EXPECT_EQ(dispatcher.failures()["mail"], 4u) << row.name;
        EXPECT_EQ(log.count("failed"), 1u) << row.name << "\n" << log.all();
        EXPECT_EQ(log.count(row.detail), 1u) << row.name << "\n" << log.all();
        EXPECT_EQ(dispatcher.owed(), 1u) << row.name;
        // Not yet due: nothing is tried before its time.
        clock.now = kStart + 10 * 60 * 1000;
        dispatcher.poke();
        ASSERT_TRUE(dispatcher.wait_idle(10000));
        EXPECT_EQ(dispatcher.failures()["mail"], 4u) << row.name;

        // Mended: the next retry delivers, and says so.
        notifytest::script(sendmail, "cat >" + dir / "mail.txt");
        clock.now = kStart + 16 * 60 * 1000;
        dispatcher.poke();
        ASSERT_TRUE(dispatcher.wait_idle(10000)) << row.name;
        EXPECT_EQ(dispatcher.owed(), 0u) << row.name;
        EXPECT_EQ(log.count("delivers again"), 1u) << row.name << "\n" << log.all();
        const std::string mail = read_file(dir / "mail.txt");
        EXPECT_NE(mail.find("Subject: [platewise] web01: FAILING NOW: ST9100821AS (S1)\n"), std::string::npos)
            << mail;
    }
}

TEST(Dispatcher, AHangingProgramDoesNotHoldUpThePass)
{
    TempDir dir;
    NotifySettings notify;
    notify.programs = {notifytest::script(dir / "hang.sh", "touch " + dir / "started; exec sleep 30")};
    notify.time_limit_seconds = 0.5;
    Clock clock;
    notifytest::Log log;
    Dispatcher dispatcher(settings_for(notify, clock, log));
    dispatcher.start();
    dispatcher.pass({notifytest::event("S1", "OK", "FAILING NOW")}, kStart);
    // The listener's next passes go through while the program hangs.
    dispatcher.pass({}, kStart + 5000);
    dispatcher.pass({}, kStart + 10000);
    EXPECT_TRUE(dispatcher.reports().empty());
    ASSERT_TRUE(dispatcher.wait_idle(10000));
    const auto reports = dispatcher.reports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_FALSE(reports[0].delivered);
    EXPECT_EQ(reports[0].detail, "killed after its time limit");
    EXPECT_TRUE(std::filesystem::exists(dir / "started"));
    EXPECT_EQ(dispatcher.failures()["exec"], 1u);
}

TEST(Dispatcher, StoppingEndsTheProgramsStillRunning)
{
    // The listener stops (its unit gives it 10 s) while a program hangs
    // with a limit of an hour: the program is ended, not waited for (were
    // it waited for, this test would run into its CTest time-out).
    TempDir dir;
    NotifySettings notify;
    notify.programs = {notifytest::script(dir / "hang.sh", "echo $$ > " + dir / "pid" + "; exec sleep 3600")};
    notify.time_limit_seconds = 3600;
    Clock clock;
    notifytest::Log log;
    DispatchSettings d = settings_for(notify, clock, log);
    d.cancel = std::make_shared<std::atomic<bool>>(false);
    d.channels = platewise::notify::make_channels(notify, d.cancel);
    {
        Dispatcher dispatcher(std::move(d));
        dispatcher.start();
        dispatcher.pass({notifytest::event("S1", "OK", "FAILING NOW")}, kStart);
        for (int i = 0; i < 1000 && read_file(dir / "pid").empty(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    const pid_t pid = static_cast<pid_t>(std::stol("0" + read_file(dir / "pid")));
    ASSERT_GT(pid, 0);
    // Gone and reaped: no such process any more.
    EXPECT_NE(::kill(pid, 0), 0);
}

TEST(Dispatcher, AtMostFourProgramsAtOnceAndTheirOutputLogged)
{
    TempDir dir;
    std::filesystem::create_directory(dir / "running");
    // Each program notes itself as running, counts the others, and waits a
    // little before it goes.
    const std::string program = notifytest::script(
        dir / "count.sh", "cd " + dir / "running" + " || exit 1\n: > $$\nls | wc -l >> " + dir / "counts" +
                              "\nsleep 0.3\nrm -f $$\necho \"told $PLATEWISE_SERIAL\"");
    NotifySettings notify;
    notify.programs = std::vector<std::string>(10, program);
    Clock clock;
    notifytest::Log log;
    Dispatcher dispatcher(settings_for(notify, clock, log));
    dispatcher.start();
    dispatcher.pass({notifytest::event("S1", "OK", "DEGRADING")}, kStart);
    ASSERT_TRUE(dispatcher.wait_idle(30000));
    EXPECT_EQ(dispatcher.reports().size(), 10u);
    EXPECT_EQ(dispatcher.failures()["exec"], 0u) << log.all();
    std::istringstream counts(read_file(dir / "counts"));
    unsigned most = 0, lines = 0;
    for (unsigned n = 0; counts >> n; ++lines) {
        most = std::max(most, n);
    }
    EXPECT_EQ(lines, 10u);
    EXPECT_LE(most, 4u);
    EXPECT_GE(most, 1u);
    EXPECT_EQ(log.count("told S1"), 10u) << log.all();
}

// An outbox in memory: what was owed at the last stop, and whether
// writing works.
class MemoryOutbox : public platewise::notify::Outbox {
public:
    std::vector<platewise::notify::Owed> at_start;
    bool writable = true;
    std::size_t owed_rows = 0;
    std::size_t delivered_rows = 0;
    bool owe(const std::vector<std::int64_t>& ids, const std::string&, std::int64_t, std::string& error) override
    {
        owed_rows += ids.size();
        error = writable ? "" : "disk I/O error";
        return writable;
    }
    bool delivered(const std::vector<std::int64_t>& ids, const std::string&, std::int64_t,
                   std::string& error) override
    {
        delivered_rows += ids.size();
        error = writable ? "" : "disk I/O error";
        return writable;
    }
    bool failed(const std::vector<std::int64_t>&, const std::string&, int, std::int64_t, const std::string&,
                std::string& error) override
    {
        error = writable ? "" : "disk I/O error";
        return writable;
    }
    bool load(std::vector<platewise::notify::Owed>& owed, std::string&) override
    {
        owed = at_start;
        return true;
    }
};

TEST(Dispatcher, WhatARestartFindsOwedIsSentAsTheRulesWould)
{
    // Per channel: up to five owed events one message each, more in one
    // digest; a channel no longer configured keeps its rows and is said.
    const std::vector<std::pair<std::size_t, std::size_t>> rows = {{1, 1}, {5, 5}, {6, 1}, {30, 1}};
    for (const auto& [owed, messages] : rows) {
        TempDir dir;
        NotifySettings notify;
        notify.programs = {notifytest::script(dir / "tell.sh", "cat >> " + dir / "told.json")};
        auto outbox = std::make_shared<MemoryOutbox>();
        for (std::size_t i = 0; i < owed; ++i) {
            platewise::events::DriveEvent e = notifytest::event("S" + std::to_string(i), "OK", "DRIVE MISSING");
            e.id = static_cast<std::int64_t>(i + 1);
            outbox->at_start.push_back({"exec:" + notify.programs[0], e, 2, kStart});
            outbox->at_start.push_back({"exec:/usr/local/bin/gone", e, 0, kStart});
        }
        Clock clock;
        notifytest::Log log;
        DispatchSettings d = settings_for(notify, clock, log);
        d.outbox = outbox;
        Dispatcher dispatcher(std::move(d));
        dispatcher.start();
        ASSERT_TRUE(dispatcher.wait_idle(10000));
        const std::string told = read_file(dir / "told.json");
        EXPECT_EQ(static_cast<std::size_t>(std::count(told.begin(), told.end(), '\n')), messages) << owed;
        EXPECT_EQ(outbox->delivered_rows, owed);
        EXPECT_EQ(log.count(std::to_string(owed) + " notifications owed to channels no longer configured"), 1u)
            << log.all();
    }
}

TEST(Dispatcher, AnUnwritableOutboxIsSaidOnceAndDeliveryGoesOn)
{
    TempDir dir;
    NotifySettings notify;
    notify.programs = {notifytest::script(dir / "tell.sh", "cat >> " + dir / "told.json")};
    auto outbox = std::make_shared<MemoryOutbox>();
    outbox->writable = false;
    Clock clock;
    notifytest::Log log;
    DispatchSettings d = settings_for(notify, clock, log);
    d.outbox = outbox;
    Dispatcher dispatcher(std::move(d));
    dispatcher.start();
    for (int pass = 0; pass < 3; ++pass) {
        platewise::events::DriveEvent e = notifytest::event("S" + std::to_string(pass), "OK", "DEGRADING");
        e.id = pass + 1;
        dispatcher.pass({e}, kStart + pass * 5000);
    }
    ASSERT_TRUE(dispatcher.wait_idle(10000));
    const std::string told = read_file(dir / "told.json");
    EXPECT_EQ(std::count(told.begin(), told.end(), '\n'), 3) << told;
    EXPECT_EQ(log.count("cannot write the owed notifications to the history (disk I/O error)"), 1u) << log.all();
    // Events the history does not hold (reminders, no --history) are
    // never written down.
    const std::size_t rows = outbox->owed_rows;
    dispatcher.pass({notifytest::event("S9", "OK", "DEGRADING")}, kStart + 20000);
    ASSERT_TRUE(dispatcher.wait_idle(10000));
    EXPECT_EQ(outbox->owed_rows, rows);
}

#if defined(PLATEWISE_HAVE_HISTORY)
TEST(Dispatcher, OwedDeliveriesSurviveARestart)
{
    TempDir dir;
    const std::string path = dir / "history.db";
    std::vector<platewise::events::DriveEvent> events = {notifytest::event("S1", "OK", "FAILING NOW"),
                                                         notifytest::event("S2", "OK", "DEGRADING")};
    {
        platewise::history::HistoryStore store;
        std::string error;
        ASSERT_TRUE(platewise::history::open_history(store, path, false, error)) << error;
        for (auto& e : events) {
            ASSERT_TRUE(platewise::history::insert_event(store, e, error)) << error;
        }
    }
    const std::string program = dir / "tell.sh";
    notifytest::script(program, "exit 1");
    NotifySettings notify;
    notify.programs = {program};
    Clock clock;
    notifytest::Log log;
    {
        DispatchSettings d = settings_for(notify, clock, log);
        std::string error;
        d.outbox = platewise::notify::HistoryOutbox::open(path, error);
        ASSERT_TRUE(d.outbox) << error;
        Dispatcher first(std::move(d));
        first.start();
        first.pass(events, kStart);
        ASSERT_TRUE(first.wait_idle(10000));
        EXPECT_EQ(first.owed(), 2u);
    }  // the listener stops with both owed
    {
        platewise::history::HistoryStore store;
        std::string error;
        ASSERT_TRUE(platewise::history::open_history(store, path, true, error)) << error;
        std::vector<platewise::history::PendingNotification> pending;
        ASSERT_TRUE(platewise::history::load_pending_notifications(store, pending, error)) << error;
        ASSERT_EQ(pending.size(), 2u);
        EXPECT_EQ(pending[0].channel, "exec:" + program);
        EXPECT_GE(pending[0].attempts, 1);
        EXPECT_EQ(pending[0].last_error, "exited with 1");
    }

    // Started again with the program mended: both are delivered, once.
    notifytest::script(program, "cat >> " + dir / "told.json");
    clock.now = kStart + 3600 * 1000;
    {
        DispatchSettings d = settings_for(notify, clock, log);
        std::string error;
        d.outbox = platewise::notify::HistoryOutbox::open(path, error);
        ASSERT_TRUE(d.outbox) << error;
        Dispatcher second(std::move(d));
        second.start();
        ASSERT_TRUE(second.wait_idle(10000));
        EXPECT_EQ(second.owed(), 0u) << log.all();
    }
    const std::string told = read_file(dir / "told.json");
    EXPECT_EQ(std::count(told.begin(), told.end(), '\n'), 2) << told;
    EXPECT_NE(told.find("\"serial\":\"S1\""), std::string::npos);
    EXPECT_NE(told.find("\"serial\":\"S2\""), std::string::npos);
    EXPECT_EQ(log.count("still owed from before the restart"), 1u) << log.all();
    platewise::history::HistoryStore store;
    std::string error;
    ASSERT_TRUE(platewise::history::open_history(store, path, true, error)) << error;
    std::vector<platewise::history::PendingNotification> pending;
    ASSERT_TRUE(platewise::history::load_pending_notifications(store, pending, error)) << error;
    EXPECT_TRUE(pending.empty());
}
#endif

}  // namespace

namespace {

TEST(ListenNotify, TheListenersEventsReachTheChannelsAfterAnyEarlierHandler)
{
    TempDir dir;
    NotifySettings notify;
    notify.programs = {notifytest::script(dir / "tell.sh", "cat >> " + dir / "told.json")};
    platewise::ListenOptions options;
    std::vector<std::size_t> earlier;
    options.on_events = [&earlier](const std::vector<platewise::events::DriveEvent>& events, std::int64_t) {
        earlier.push_back(events.size());
    };
    std::ostringstream err;  // written by the dispatcher only after the passes below
    {
        platewise::notify::ListenNotify state;
        ASSERT_TRUE(platewise::notify::attach_notify(state, notify, "", "http://127.0.0.1:9946", options, err));
        EXPECT_NE(err.str().find("notifying 1 channel of drive changes (program " + dir / "tell.sh" + ")"),
                  std::string::npos)
            << err.str();
        options.on_events({notifytest::event("S1", "OK", "FAILING NOW")}, kStart);
        options.on_events({}, kStart + 5000);
        ASSERT_TRUE(state.dispatcher->wait_idle(10000));
        EXPECT_EQ(platewise::notify::notification_failures(state),
                  (std::map<std::string, std::uint64_t>{{"exec", 0}}));
    }
    EXPECT_EQ(earlier, (std::vector<std::size_t>{1, 0}));
    const std::string told = read_file(dir / "told.json");
    EXPECT_EQ(std::count(told.begin(), told.end(), '\n'), 1) << told;
    EXPECT_NE(told.find("\"page\":\"http://127.0.0.1:9946\""), std::string::npos) << told;

    // Wrong settings: refused before anything starts.
    NotifySettings wrong;
    wrong.programs = {"relative.sh"};
    platewise::notify::ListenNotify state;
    std::ostringstream refused;
    EXPECT_FALSE(platewise::notify::attach_notify(state, wrong, "", "", options, refused));
    EXPECT_NE(refused.str().find("--notify-exec relative.sh"), std::string::npos);
    EXPECT_FALSE(state.dispatcher);
}

}  // namespace
