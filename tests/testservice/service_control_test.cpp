#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "service.h"
#include "sim_fixture.h"
#include "temp_dir.h"

namespace {

using platform::SERVICE_RUNNING;
using platform::SERVICE_STOPPED;

// The whole service under the simulated manager: controls arrive during the
// waits between passes, as they would from outside.
class Service : public SimulatedDrives {
protected:
    void SetUp() override
    {
        SimulatedDrives::SetUp();
        setenv("APPDATA", dir.path().c_str(), 1);
        controls.clear();
        sim::make_plain_drive(0);
        sim::set_sleep_hook([](std::uint32_t milliseconds) {
            if (milliseconds != kPollIntervalMs || controls.empty()) {
                return;
            }
            const std::uint32_t control = controls.front();
            controls.erase(controls.begin());
            sim::send_control(control);
            if (controls.empty() && current_state() == SERVICE_RUNNING) {
                sim::send_control(platform::SERVICE_CONTROL_STOP);  // always end the test
            }
        });
    }
    void TearDown() override
    {
        unsetenv("APPDATA");
        SimulatedDrives::TearDown();
    }
    std::string log() const { return read_file(dir / "platewise_s.log"); }

    static inline std::vector<std::uint32_t> controls;
    TempDir dir;
};

TEST_F(Service, StartsRunningAndStopsOnStopOrShutdown)
{
    for (std::uint32_t stop : {platform::SERVICE_CONTROL_STOP, platform::SERVICE_CONTROL_SHUTDOWN}) {
        SetUp();  // a fresh drive, endpoint and manager for each control
        std::filesystem::remove(dir / "platewise_s.log");
        controls = {stop};
        EXPECT_EQ(service_entry(), 0);

        const auto reports = sim::status_reports();
        ASSERT_EQ(reports.size(), 2u);
        EXPECT_EQ(reports[0].state, SERVICE_RUNNING);
        EXPECT_EQ(reports[0].controls_accepted, 5u);
        EXPECT_EQ(reports[0].service_type, 0x30u);
        EXPECT_EQ(reports[1].state, SERVICE_STOPPED);
        EXPECT_EQ(reports[1].exit_code, 0u);
        EXPECT_EQ(sim::listener().delivered, 1) << "no pass starts after the stop";

        const std::string text = log();
        const auto started = text.find("> Monitoring started.\n");
        const auto stopped = text.find("> Monitoring stopped.\n");
        EXPECT_NE(started, std::string::npos);
        EXPECT_NE(stopped, std::string::npos);
        EXPECT_LT(started, stopped);
    }
}

TEST_F(Service, OtherControlsAreAnsweredWithTheRecordUnchanged)
{
    controls = {platform::SERVICE_CONTROL_INTERROGATE, 2 /* pause */, 3 /* continue */};
    EXPECT_EQ(service_entry(), 0);
    const auto reports = sim::status_reports();
    ASSERT_EQ(reports.size(), 5u);
    for (int i = 1; i <= 3; ++i) {
        EXPECT_EQ(reports[i].state, SERVICE_RUNNING);
        EXPECT_EQ(reports[i].controls_accepted, 5u);
        EXPECT_EQ(reports[i].exit_code, 0u);
    }
    EXPECT_EQ(reports[4].state, SERVICE_STOPPED);
    EXPECT_EQ(sim::listener().delivered, 3) << "the stop follows the last control in the same wait";
}

// The manager's stop comes from a thread of its own while the service thread
// runs passes back to back (the simulated wait returns at once): the pass
// under way finishes and closes its drive, no other starts, and the stop is
// reported once.
TEST_F(Service, StopFromTheManagersThreadEndsTheCycleBetweenPasses)
{
    std::thread manager([] {
        while (current_state() != SERVICE_RUNNING) {
            std::this_thread::yield();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        sim::send_control(platform::SERVICE_CONTROL_STOP);
    });
    EXPECT_EQ(service_entry(), 0);
    manager.join();

    const auto reports = sim::status_reports();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0].state, SERVICE_RUNNING);
    EXPECT_EQ(reports[1].state, SERVICE_STOPPED);
    EXPECT_EQ(reports[1].exit_code, 0u);
    EXPECT_EQ(sim::open_handles(), 0);
    EXPECT_EQ(sim::drive(0).opens, sim::drive(0).closes);
    EXPECT_GE(sim::listener().delivered, 1);
    const std::string text = log();
    EXPECT_LT(text.find("> Monitoring started.\n"), text.find("> Monitoring stopped.\n"));
}

TEST_F(Service, UnwritableLogAtStartStopsWithFailureAndNoPass)
{
    setenv("APPDATA", (dir / "missing").c_str(), 1);
    EXPECT_EQ(service_entry(), 255);
    const auto reports = sim::status_reports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].state, SERVICE_STOPPED);
    EXPECT_EQ(reports[0].exit_code, 0xFFFFFFFFu);
    EXPECT_EQ(sim::drive(0).opens, 0);
    EXPECT_EQ(sim::listener().opens, 0);
}

TEST_F(Service, FailedRegistrationEndsSilently)
{
    sim::fail_registration(true);
    EXPECT_EQ(service_entry(), 0);
    EXPECT_TRUE(sim::status_reports().empty());
    EXPECT_EQ(sim::drive(0).opens, 0);
    EXPECT_FALSE(std::filesystem::exists(dir / "platewise_s.log"));
}

}  // namespace
