// Console output from many threads at once, seen through a real pipe: every call's text
// arrives whole, wide and narrow calls on one stream both survive, nothing is lost; and a
// thread that holds the console's lock has its run of calls kept together.
#include "console_capture.h"
#include "platform/platform.h"
#include "tests/support/testing.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <sstream>
#include <string>
#include <thread>

namespace ts = testing_support;

namespace {

std::string long_utf8() {
    std::string s;
    for (int i = 0; i < 3000; ++i) s += "\xC3\xA9";
    return s;
}

TEST(console_race, every_call_arrives_whole_and_none_is_lost) {
    ts::child_process child = ts::start_child({ENTRY_PROBE_PATH, "race"});
    ASSERT_GT(child.pid, 0);
    ASSERT_EQ(ts::wait_child(child), 0);
    const std::string expected_long = long_utf8();
    std::map<std::string, int> kinds;
    std::istringstream out(child.out);
    std::string line;
    while (std::getline(out, line)) {
        // "Tnn iiii kind rest": each line is one call's text.
        ASSERT_GE(line.size(), 9u) << line.substr(0, 80);
        std::string kind = line.substr(9, line.find(' ', 9) - 9);
        std::string rest = line.substr(9 + kind.size() + 1);
        if (kind == "wide")
            EXPECT_EQ(rest, "\xD0\xB1\xD0\xB3");
        else if (kind == "narrow")
            EXPECT_EQ(rest, "text");
        else if (kind == "long")
            EXPECT_TRUE(rest == expected_long) << "a long line was split";
        else
            ADD_FAILURE() << "unexpected line " << line.substr(0, 80);
        ++kinds[kind];
    }
    EXPECT_EQ(kinds["wide"], 8 * 75);
    EXPECT_EQ(kinds["narrow"], 8 * 75);
    EXPECT_EQ(kinds["long"], 8 * 75);
    std::istringstream err(child.err);
    int errors = 0;
    while (std::getline(err, line)) {
        EXPECT_EQ(line.substr(8), " error") << line;
        ++errors;
    }
    EXPECT_EQ(errors, 8 * 75);
}

// Another thread writes all the time; the holder's runs of 22 calls, "[", twenty "a" and "]"
// (wide and narrow calls, taken again under the held lock), must each arrive whole, with the
// other's text only between them.
TEST(console_race, a_holder_of_the_console_lock_keeps_its_calls_together) {
    capture cap;
    std::atomic<bool> done{false};
    std::atomic<int> written{0};
    std::thread other([&] {
        while (!done.load() && written.load() < 200000) {
            con_wprintf(L"b");
            written.fetch_add(1);
            // The lock is not fair: a pause leaves the holder its turn.
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
    });
    struct joiner {
        std::atomic<bool>& done;
        std::thread& t;
        ~joiner() {
            done.store(true);
            t.join();
        }
    } join_other{done, other};
    // Each run starts once the other has written again, so that it is writing meanwhile.
    auto other_wrote_since = [&](int before) {
        for (int waited = 0; written.load() == before && waited < 10000; ++waited)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return written.load() != before;
    };
    constexpr int rounds = 300;
    for (int round = 0; round < rounds; ++round) {
        ASSERT_TRUE(other_wrote_since(written.load())) << "the other writer stopped";
        con_lock();
        con_wprintf(L"[");
        for (int i = 0; i < 20; ++i) con_printf("a");
        con_wprintf(L"]");
        con_unlock();
    }
    done.store(true);
    std::string out;
    {
        con_lock(); // the other's last call is over once the lock is had
        out = cap.all(1);
        con_unlock();
    }
    std::size_t runs = 0, others_inside = 0;
    for (std::size_t at = out.find('['); at != std::string::npos; at = out.find('[', at + 1)) {
        ++runs;
        if (out.compare(at, 22, "[" + std::string(20, 'a') + "]") != 0) ++others_inside;
    }
    EXPECT_EQ(runs, std::size_t(rounds));
    EXPECT_EQ(others_inside, 0u);
    EXPECT_NE(out.find("]b"), std::string::npos) << "the other writer never came between runs";
}

} // namespace
