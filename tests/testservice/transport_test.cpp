#include <vector>

#include "service.h"
#include "sim_fixture.h"

namespace {

struct TransportRow {
    const char* name;
    sim::ListenerMode mode;
    int busy_opens;
    bool wait_succeeds;
    bool delivered;
    int opens;
    int waits;
};

void PrintTo(const TransportRow& row, std::ostream* os) { *os << row.name; }

// The listener behaves as the row says.
void arm(sim::Listener& listener, const TransportRow& row)
{
    listener.mode = row.mode;
    listener.busy_opens = row.busy_opens;
    listener.wait_succeeds = row.wait_succeeds;
}

// The rules both endpoints are held to: the opens and waits the row expects,
// each wait 20000 ms, and no connection left open.
void expect_rules_kept(const sim::Listener& listener, const TransportRow& row)
{
    EXPECT_EQ(listener.opens, row.opens);
    EXPECT_EQ(listener.waits, row.waits);
    if (row.waits > 0) {
        EXPECT_EQ(listener.last_wait_timeout, 20000u);
    }
    EXPECT_EQ(listener.open_connections, 0) << "every connection is closed";
}

class Transport : public SimulatedDrives, public ::testing::WithParamInterface<TransportRow> {};

// Only a busy endpoint is waited for, 20000 ms at a time, as often as the
// wait succeeds and the endpoint is busy again.
TEST_P(Transport, OpensWaitsAndWritesAsTheListenerAllows)
{
    const TransportRow& row = GetParam();
    sim::Listener& listener = sim::listener();
    arm(listener, row);

    DriveSnapshot message;
    std::memset(&message, 0, sizeof message);
    message.count = 3;
    message.drives[31].smart_thresholds[511] = 0x42;

    EXPECT_EQ(send_snapshot(&message), row.delivered);
    expect_rules_kept(listener, row);
    EXPECT_EQ(listener.last_endpoint, platform::pipe_name);
    if (row.delivered) {
        ASSERT_EQ(listener.last_message.size(), 49185u);
        EXPECT_EQ(std::memcmp(listener.last_message.data(), &message, sizeof message), 0);
    }
}

// The NVMe snapshot goes the same way to its own endpoint, whole, and leaves
// the snapshot endpoint alone.
TEST_P(Transport, NvmeSnapshotTakesTheSameRulesOnItsOwnEndpoint)
{
    const TransportRow& row = GetParam();
    sim::Listener& listener = sim::nvme_listener();
    arm(listener, row);

    nvme_snapshot.slots[31].health_log[511] = 0x42;
    finish_nvme_snapshot(3);

    EXPECT_EQ(send_nvme_snapshot(), row.delivered);
    expect_rules_kept(listener, row);
    EXPECT_EQ(listener.last_endpoint, platform::nvme_pipe_name);
    EXPECT_EQ(sim::listener().opens, 0) << "the snapshot endpoint is not touched";
    if (row.delivered) {
        ASSERT_EQ(listener.last_message.size(), 278800u);
        EXPECT_EQ(std::memcmp(listener.last_message.data(), &nvme_snapshot, sizeof nvme_snapshot),
                  0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Listeners, Transport,
    ::testing::Values(
        TransportRow{"accepting", sim::ListenerMode::accepting, 0, true, true, 1, 0},
        TransportRow{"absent", sim::ListenerMode::absent, 0, true, false, 1, 0},
        TransportRow{"busy_then_free", sim::ListenerMode::accepting, 3, true, true, 4, 3},
        TransportRow{"busy_past_the_wait", sim::ListenerMode::accepting, 1, false, false, 1, 1},
        TransportRow{"closing_early", sim::ListenerMode::closing_early, 0, true, false, 1, 0}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
