// The texts a notification carries: the mail with its headers, the JSON
// document and the environment, with hostile drive strings.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>

#include "notify/mail_channel.h"
#include "notify/notify_message.h"
#include "notify_test_support.h"

namespace {

using platewise::notify::Message;

Message message_of(std::vector<platewise::events::DriveEvent> events)
{
    Message m;
    m.events = std::move(events);
    m.time_ms = 1'796'684'129'000;  // 2026-12-07 22:55:29 UTC, a Monday
    m.host = "web01";
    return m;
}

// The header block (up to the blank line) split into lines.
std::vector<std::string> header_lines(const std::string& mail)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = mail.find('\n', start);
        if (end == std::string::npos || end == start) {
            break;
        }
        lines.push_back(mail.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

TEST(MailText, HeadersAndBodyOfOneChange)
{
    platewise::events::DriveEvent e = notifytest::event("5NJ0R13A", "DEGRADING", "FAILING NOW");
    Message m = message_of({e});
    m.page_address = "http://127.0.0.1:9946";
    const std::string mail =
        platewise::notify::mail_text(m, {"platewise@web01", "root", m.time_ms, "1.2.3@web01"});
    const std::vector<std::string> expected = {
        "From: platewise on web01 <platewise@web01>",
        "To: root",
        "Subject: [platewise] web01: FAILING NOW: ST9100821AS (5NJ0R13A)",
        "Date: Mon, 07 Dec 2026 22:55:29 +0000",
        "Message-ID: <1.2.3@web01>",
        "MIME-Version: 1.0",
        "Content-Type: text/plain; charset=utf-8",
        "Content-Transfer-Encoding: 8bit",
        "Auto-Submitted: auto-generated",
    };
    EXPECT_EQ(header_lines(mail), expected);
    const std::string body = mail.substr(mail.find("\n\n") + 2);
    for (const char* piece : {"Verdict:  FAILING NOW", "Before:   DEGRADING", "Slot:     2",
                              "Reallocated_Sector_Ct: value 3 <= threshold 36 (raw 2041)",
                              "2026-12-07 22:55:29 UTC", "http://127.0.0.1:9946/drive/5NJ0R13A",
                              "Status page: http://127.0.0.1:9946/"}) {
        EXPECT_NE(body.find(piece), std::string::npos) << piece << "\n" << body;
    }
}

TEST(MailText, DriveStringsCannotAddHeadersOrLines)
{
    // Model, serial, verdict and reasons as a hostile drive (or a damaged
    // store) might give them.
    const std::vector<std::string> hostile = {
        "X\r\nBcc: victim@example.org",
        "X\nSubject: pwned",
        "X\rTo: other",
        std::string("X\0Bcc: nul@example.org", 22),
        "X\x1b[31mred\x7f",
        "X\xc3\xa9\xe2\x80\xa8" "Bcc: u2028",
    };
    for (const std::string& text : hostile) {
        platewise::events::DriveEvent e = notifytest::event(text, "OK", text);
        e.model = text;
        e.reasons = {text};
        const Message m = message_of({e});
        const std::string mail =
            platewise::notify::mail_text(m, {"platewise@web01", "root", m.time_ms, "id@web01"});
        const std::vector<std::string> headers = header_lines(mail);
        EXPECT_EQ(headers.size(), 9u) << mail;
        for (const std::string& h : headers) {
            EXPECT_NE(h.rfind("Bcc", 0), 0u) << mail;
            EXPECT_EQ(h.find('\r'), std::string::npos) << mail;
        }
        EXPECT_EQ(mail.find('\r'), std::string::npos);
        EXPECT_EQ(mail.find('\0'), std::string::npos);
        EXPECT_EQ(mail.find('\x1b'), std::string::npos);
        EXPECT_EQ(platewise::notify::body_text(m).find("\nBcc"), std::string::npos);
        EXPECT_EQ(platewise::notify::body_text(m).find("\nSubject"), std::string::npos);
        for (const char c : mail) {
            const auto u = static_cast<unsigned char>(c);
            EXPECT_TRUE(c == '\n' || (u >= 0x20 && u < 0x7f)) << static_cast<int>(u);
        }
    }
}

TEST(MailText, AddressesAreOneAddressEach)
{
    const std::vector<std::pair<std::string, bool>> rows = {
        {"root", true},
        {"admin@example.org", true},
        {"first.last+disks@mail.example.org", true},
        {"", false},
        {"-oQ/tmp/x", false},  // would be an option of sendmail's
        {"root\nBcc: x@y", false},
        {"root\r", false},
        {"a b@example.org", false},
        {"a,b@example.org", false},
        {"<root>", false},
        {"\"quoted\"@example.org", false},
        {"root@", false},
        {"root@-example.org", false},
        {"root@exa mple.org", false},
        {".root", false},
        {"ro..ot", false},
        {std::string(255, 'a'), false},
    };
    for (const auto& [address, valid] : rows) {
        EXPECT_EQ(platewise::notify::valid_mail_address(address), valid) << address;
    }
}

TEST(MailText, SubjectsOfEachKind)
{
    const std::vector<std::pair<std::vector<platewise::events::DriveEvent>, std::string>> rows = {
        {{notifytest::event("S1", "OK", "DEGRADING")}, "[platewise] web01: DEGRADING: ST9100821AS (S1)"},
        {{notifytest::event("S1", "FAILING NOW", "FAILING NOW", "reminder")},
         "[platewise] web01: still FAILING NOW: ST9100821AS (S1)"},
        {{notifytest::event("S1", "OK", "DRIVE MISSING", "missing")},
         "[platewise] web01: DRIVE MISSING: ST9100821AS (S1)"},
        {{notifytest::event("S1", "", "FAILING NOW", "new")},
         "[platewise] web01: new drive, FAILING NOW: ST9100821AS (S1)"},
        {{notifytest::event("S1", "DEGRADING", "OK"), notifytest::event("S2", "OK", "FAILING NOW"),
          notifytest::event("S3", "OK", "DEGRADING"), notifytest::event("S4", "OK", "DEGRADING")},
         "[platewise] web01: 4 drives changed: 1 FAILING NOW, 2 DEGRADING, 1 OK"},
        // The label form of a verdict reads as its heading.
        {{notifytest::event("S1", "ok", "failed_past")},
         "[platewise] web01: FAILED IN THE PAST: ST9100821AS (S1)"},
        {{notifytest::event("S1", "ok", "missing", "missing")}, "[platewise] web01: DRIVE MISSING: ST9100821AS (S1)"},
        {{notifytest::event("S1", "degrading", "failing_now", "reminder")},
         "[platewise] web01: still FAILING NOW: ST9100821AS (S1)"},
    };
    for (const auto& [events, subject] : rows) {
        EXPECT_EQ(platewise::notify::subject_line(message_of(events)), subject);
    }
}

TEST(ProgramForm, JsonAndEnvironmentOfOneEventAndOfADigest)
{
    platewise::events::DriveEvent e = notifytest::event("5NJ0R13A", "DEGRADING", "FAILING NOW");
    e.model = "ST9100821AS\"\\\n";
    const Message one = message_of({e});
    const nlohmann::json j = nlohmann::json::parse(platewise::notify::json_document(one));
    EXPECT_EQ(j["host"], "web01");
    EXPECT_EQ(j["kind"], "change");
    EXPECT_EQ(j["serial"], "5NJ0R13A");
    EXPECT_EQ(j["model"], "ST9100821AS\"\\?");
    EXPECT_EQ(j["verdict"], "FAILING NOW");
    EXPECT_EQ(j["previous_verdict"], "DEGRADING");
    EXPECT_EQ(j["slot"], 2);
    EXPECT_EQ(j["events"].size(), 1u);
    const std::vector<std::string> env = platewise::notify::environment_variables(one);
    for (const char* v : {"PLATEWISE_HOST=web01", "PLATEWISE_SERIAL=5NJ0R13A", "PLATEWISE_SLOT=2",
                          "PLATEWISE_VERDICT=FAILING NOW", "PLATEWISE_PREVIOUS_VERDICT=DEGRADING",
                          "PLATEWISE_KIND=change", "PLATEWISE_MODEL=ST9100821AS\"\\?"}) {
        EXPECT_NE(std::find(env.begin(), env.end(), v), env.end()) << v;
    }

    const Message digest = message_of({notifytest::event("S1", "OK", "DEGRADING"),
                                        notifytest::event("S2", "OK", "FAILING NOW")});
    const nlohmann::json d = nlohmann::json::parse(platewise::notify::json_document(digest));
    EXPECT_EQ(d["kind"], "digest");
    EXPECT_EQ(d["count"], 2);
    EXPECT_EQ(d["events"][1]["serial"], "S2");
    EXPECT_FALSE(d.contains("serial"));
    const std::vector<std::string> denv = platewise::notify::environment_variables(digest);
    for (const char* v : {"PLATEWISE_KIND=digest", "PLATEWISE_SERIAL=S1\nS2", "PLATEWISE_VERDICT=FAILING NOW",
                          "PLATEWISE_COUNT=2"}) {
        EXPECT_NE(std::find(denv.begin(), denv.end(), v), denv.end()) << v;
    }
}

TEST(ProgramForm, DrivePageEncodesTheSerial)
{
    EXPECT_EQ(platewise::notify::drive_page("http://h:1", "AB 12/..?"), "http://h:1/drive/AB%2012%2F..%3F");
}

}  // namespace
