// The provider's handle table under load: threads acquire, hash, read and release at once,
// as the relay's readers do during their handshakes, and every digest stays right.
#include "digest.h"
#include <atomic>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

namespace {

TEST(provider_race, digests_made_on_many_threads_at_once_are_all_right) {
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&wrong, t] {
            for (int i = 0; i < 200; ++i) {
                bool sha1 = (i + t) % 2 == 0;
                std::string digest = provider_digest(sha1 ? CALG_SHA1 : CALG_MD5, "abc", 1);
                if (digest != (sha1 ? "a9993e364706816aba3e25717850c26c9cd0d89d"
                                    : "900150983cd24fb0d6963f7d28e17f72"))
                    ++wrong;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
}

} // namespace
