// --save: timestamped names, unique within one second, whole files only,
// never world-readable, never through a planted link, and the retention.
#include <gtest/gtest.h>
#if !defined(_WIN32)
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <atomic>
#include <regex>
#include <set>
#include <thread>

#include "../../testservice/temp_dir.h"
#include "files/snapshot_store.h"
#include "report/local_time_text.h"
#include "smart.h"
#include "../tool_test_support.h"

namespace {

namespace fs = std::filesystem;

#if !defined(_WIN32)
unsigned mode_of(const std::string& path)
{
    struct stat st{};
    ::lstat(path.c_str(), &st);
    return st.st_mode & 07777;
}
#endif

TEST(SnapshotStore, SavesUnderUniqueTimestampedNamesWithTheFileMode)
{
    for (const std::uint32_t mode : {0600u, 0640u}) {
        TempDir dir;
        platewise::SnapshotStore store;
        std::string error;
        ASSERT_TRUE(platewise::open_snapshot_store(dir.path(), mode, {}, store, error)) << error;
        const std::vector<std::uint8_t> bytes = tooltest::snapshot_of({"ST320410A--3.39.rec"});
        std::set<std::string> names;
        for (int i = 0; i < 5; ++i) {
            std::string saved;
            ASSERT_TRUE(platewise::save_snapshot(store, bytes, saved, error)) << error;
            EXPECT_TRUE(error.empty()) << error;
            names.insert(saved);
            EXPECT_EQ(tooltest::file_bytes(saved), bytes);
#if !defined(_WIN32)
            EXPECT_EQ(mode_of(saved), mode) << saved << " whatever the umask";
#endif
        }
        EXPECT_EQ(names.size(), 5u);
        const std::regex pattern(R"(snapshot-\d{8}-\d{6}-\d{3}\.bin)");
        std::size_t files = 0;
        for (const auto& entry : fs::directory_iterator(dir.path())) {
            ++files;
            EXPECT_TRUE(std::regex_match(entry.path().filename().string(), pattern)) << entry.path();
        }
        EXPECT_EQ(files, 5u) << "no temporary file is left behind";
        platewise::close_snapshot_store(store);
    }
}

#if !defined(_WIN32)
// Directories a local user could meddle in are refused at start-up.
TEST(SnapshotStore, RefusesDirectoriesOthersCanChange)
{
    TempDir dir;
    ::mkdir((dir / "real").c_str(), 0700);
    ::symlink((dir / "real").c_str(), (dir / "link").c_str());
    tooltest::write_bytes(dir / "file", {1});
    ::mkdir((dir / "everybody").c_str(), 0700);
    ::chmod((dir / "everybody").c_str(), 0777);
    ::mkdir((dir / "group").c_str(), 0700);
    ::chmod((dir / "group").c_str(), 0770);
    ::mkdir((dir / "sticky").c_str(), 0700);
    ::chmod((dir / "sticky").c_str(), 01777);
    ::mkdir((dir / "open-above").c_str(), 0700);
    ::mkdir((dir / "open-above/inner").c_str(), 0700);
    ::chmod((dir / "open-above").c_str(), 0777);
    struct Row {
        std::string path;
        std::string says;
    };
    std::vector<Row> rows = {
        {dir / "missing", "No such file"},
        {dir / "link", "is a symbolic link"},
        {dir / "link/", "is a symbolic link"},
        {dir / "file", "is not a directory"},
        {dir / "everybody", "writable by everybody (mode 0777)"},
        {dir / "group", "writable by its group (mode 0770)"},
        {dir / "sticky", "writable by everybody (mode 1777)"},
        {dir / "open-above/inner", "the folder above it"},
    };
    if (::geteuid() == 0) {
        ::mkdir((dir / "theirs").c_str(), 0700);
        ASSERT_EQ(::chown((dir / "theirs").c_str(), 65534, 65534), 0);
        rows.push_back({dir / "theirs", "belongs to uid 65534"});
    }
    for (const Row& row : rows) {
        platewise::SnapshotStore store;
        std::string error;
        EXPECT_FALSE(platewise::open_snapshot_store(row.path, 0600, {}, store, error)) << row.path;
        EXPECT_NE(error.find(row.says), std::string::npos) << row.path << ": " << error;
    }
    platewise::SnapshotStore store;
    std::string error;
    EXPECT_TRUE(platewise::open_snapshot_store(dir / "real", 0600, {}, store, error)) << error;
    platewise::close_snapshot_store(store);
}

// The race that made root overwrite a file of the attacker's choice: links
// planted, again and again, at every temporary name the listener could
// predict, while it saves. Nothing outside the directory may change.
TEST(SnapshotStore, LinksPlantedAtTemporaryNamesAreNeverFollowed)
{
    TempDir dir;
    ::mkdir((dir / "out").c_str(), 0700);
    const std::string victim = dir / "victim";
    tooltest::write_bytes(victim, {'k', 'e', 'e', 'p'});
    platewise::SnapshotStore store;
    std::string error;
    ASSERT_TRUE(platewise::open_snapshot_store(dir / "out", 0600, {}, store, error)) << error;

    std::atomic<bool> saving{true};
    std::thread attacker([&] {
        while (saving) {
            const std::string stamp = platewise::local_time_text("%Y%m%d-%H%M%S");
            for (unsigned n = 0; n < 64; ++n) {
                const std::string name =
                    dir / ("out/.snapshot-" + stamp + smart::format_text("-%u.tmp", n));
                ::unlink(name.c_str());
                ::symlink(victim.c_str(), name.c_str());
            }
        }
    });
    const std::vector<std::uint8_t> bytes = tooltest::snapshot_of({"ST320410A--3.39.rec"});
    for (int i = 0; i < 40; ++i) {
        std::string saved;
        EXPECT_TRUE(platewise::save_snapshot(store, bytes, saved, error)) << error;
        EXPECT_EQ(tooltest::file_bytes(saved), bytes);
    }
    saving = false;
    attacker.join();
    EXPECT_EQ(tooltest::file_bytes(victim), (std::vector<std::uint8_t>{'k', 'e', 'e', 'p'}));
    platewise::close_snapshot_store(store);
}

#endif

TEST(SnapshotStore, RetentionRemovesTheOldestFirstAndKeepsTheNewest)
{
    const auto now = fs::file_time_type::clock::now();
    const auto days = [](int n) { return std::chrono::hours(24) * n; };
    struct Row {
        const char* what;
        platewise::Retention retention;
        std::vector<std::string> left;
    };
    // Files a, b, c, d aged 5, 3, 1 and 0 days, 100 bytes each.
    const std::vector<Row> rows = {
        {"no limit keeps everything", {}, {"a", "b", "c", "d"}},
        {"older than 2 days go", {2, 0}, {"c", "d"}},
        {"at most 250 bytes", {0, 250}, {"c", "d"}},
        {"at most 300 bytes", {0, 300}, {"b", "c", "d"}},
        {"both limits", {4, 100}, {"d"}},
        {"the newest stays whatever the limit", {0, 1}, {"d"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        TempDir dir;
        const std::string outside = dir / "snapshot-outside.bin";
        tooltest::write_bytes(outside, std::vector<std::uint8_t>(100));
        fs::create_directory(dir / "out");
        const std::vector<std::pair<std::string, int>> ages = {{"a", 5}, {"b", 3}, {"c", 1}, {"d", 0}};
        const auto file_of = [&](const std::string& name) {
            return dir / ("out/snapshot-2026120" + std::to_string(name[0] - 'a' + 1) + "-100000-000.bin");
        };
        for (const auto& [name, age] : ages) {
            const std::string path = file_of(name);
            tooltest::write_bytes(path, std::vector<std::uint8_t>(100));
            fs::last_write_time(path, now - days(age) - std::chrono::minutes(1));
        }
        // Not ours: other names (only the exact shape of the names the
        // listener gives is), old and large, and a link whose target must
        // survive; as root, a file of the right name another user owns.
        tooltest::write_bytes(dir / "out/notes.txt", std::vector<std::uint8_t>(1000));
        const std::vector<std::string> foreign = {"snapshot-a.bin", "snapshot-20261201-100000-0000.bin",
                                                  "snapshot-20261201-100000-00x.bin", "nvme-keep.bin",
                                                  "snapshot-20261201-100000-000.bin.old"};
        for (const std::string& name : foreign) {
            tooltest::write_bytes(dir / ("out/" + name), std::vector<std::uint8_t>(1000));
            fs::last_write_time(dir / ("out/" + name), now - days(30));
        }
#if !defined(_WIN32)
        const std::string others = dir / "out/snapshot-20261101-100000-000.bin";
        if (::geteuid() == 0) {
            tooltest::write_bytes(others, std::vector<std::uint8_t>(1000));
            fs::last_write_time(others, now - days(30));
            ASSERT_EQ(::chown(others.c_str(), 65534, 65534), 0);
        }
#endif
#if !defined(_WIN32)
        ::symlink(outside.c_str(), (dir / "out/snapshot-link.bin").c_str());
#endif

        platewise::SnapshotStore store;
        std::string error;
        ASSERT_TRUE(platewise::open_snapshot_store(dir / "out", 0600, row.retention, store, error));
        EXPECT_EQ(store.total_bytes, 400u);
        platewise::apply_retention(store, now, error);
        EXPECT_TRUE(error.empty()) << error;
        std::vector<std::string> left;
        for (const auto& [name, age] : ages) {
            if (fs::exists(file_of(name))) {
                left.push_back(name);
            }
        }
        EXPECT_EQ(left, row.left);
        EXPECT_TRUE(fs::exists(dir / "out/notes.txt"));
        for (const std::string& name : foreign) {
            EXPECT_TRUE(fs::exists(dir / ("out/" + name))) << name;
        }
#if !defined(_WIN32)
        EXPECT_TRUE(fs::is_symlink(fs::symlink_status(dir / "out/snapshot-link.bin")));
        EXPECT_EQ(fs::exists(others), ::geteuid() == 0) << "another user's file is not ours to remove";
#endif
        EXPECT_TRUE(fs::exists(outside));
        platewise::close_snapshot_store(store);
    }
}

TEST(SnapshotStore, SavingAppliesTheRetention)
{
    TempDir dir;
    platewise::SnapshotStore store;
    std::string error;
    ASSERT_TRUE(platewise::open_snapshot_store(dir.path(), 0600, {0, 2 * 49185}, store, error));
    const std::vector<std::uint8_t> bytes = tooltest::snapshot_of({"ST320410A--3.39.rec"});
    std::vector<std::string> saved(5);
    for (std::string& path : saved) {
        ASSERT_TRUE(platewise::save_snapshot(store, bytes, path, error)) << error;
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 2);
    EXPECT_TRUE(fs::exists(saved[3]) && fs::exists(saved[4])) << "the newest two stay";
    platewise::close_snapshot_store(store);
}

}  // namespace
