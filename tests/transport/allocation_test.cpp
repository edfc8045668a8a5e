// Receive and send when the TLS library cannot enlarge a memory buffer: the read buffer's
// raise failing makes the socket's bytes land in the caller's buffer, from where they are
// fed in; the write buffer's raise failing is passed over. The library's allocator is
// replaced before anything else runs, so that a test can refuse chosen sizes.
#include "support.h"
#include <atomic>
#include <cstdlib>
#include <gtest/gtest.h>
#include <openssl/crypto.h>

namespace {

// Allocations of a size in [refuse_from, refuse_to] fail while armed.
std::atomic<size_t> refuse_from{0}, refuse_to{0};
std::atomic<int> refused{0};

bool refuse(size_t size) {
    if (size < refuse_from.load() || size > refuse_to.load()) return false;
    refused.fetch_add(1);
    return true;
}
void* allocate(size_t size, const char*, int) {
    return refuse(size) ? nullptr : std::malloc(size);
}
void* reallocate(void* block, size_t size, const char*, int) {
    return refuse(size) ? nullptr : std::realloc(block, size);
}
void release(void* block, const char*, int) {
    std::free(block);
}

// Runs before every other static initialiser, as the library must not have allocated yet.
__attribute__((constructor(101))) void install_allocator() {
    CRYPTO_set_mem_functions(allocate, reallocate, release);
}

struct allocation_test : ::testing::Test {
    void SetUp() override { ASSERT_TRUE(support::load_context(support::certs().ecdsa)); }
    void TearDown() override {
        refuse_from = refuse_to = 0;
        support::drop_context();
    }
};

TEST_F(allocation_test, receive_lands_in_the_callers_buffer_when_the_read_buffer_cannot_grow) {
    support::tls_pair pair;
    ASSERT_EQ(pair.open(), 0);
    pair.set_receive_timeout(5000);
    std::vector<uint8_t> sent = support::pattern(3000, 7);
    ASSERT_TRUE(pair.client.write(sent.data(), sent.size()));
    refused = 0;
    refuse_from = 17408; // the raise to 17,408 bytes and anything near it
    refuse_to = 65536;
    std::vector<uint8_t> got(4096);
    int64_t count = pair.tls.recv(got.data(), got.size());
    refuse_from = refuse_to = 0;
    EXPECT_GT(refused.load(), 0);
    ASSERT_EQ(count, 3000);
    got.resize(3000);
    EXPECT_EQ(got, sent);
    pair.tls.close();
}

TEST_F(allocation_test, send_goes_on_when_the_write_buffer_cannot_grow_its_reserve) {
    support::tls_pair pair;
    ASSERT_EQ(pair.open(), 0);
    std::vector<uint8_t> sent = support::pattern(100, 8);
    ASSERT_EQ(pair.tls.send(sent.data(), sent.size()), 100); // the write buffer has a size now
    refused = 0;
    refuse_from = 385; // any raise of the small write buffer
    refuse_to = 4096;
    int64_t result = pair.tls.send(sent.data(), sent.size());
    refuse_from = refuse_to = 0;
    EXPECT_GT(refused.load(), 0);
    EXPECT_EQ(result, 100);
    std::vector<uint8_t> got(200);
    ASSERT_TRUE(pair.client.read_exact(got.data(), got.size()));
    EXPECT_EQ(std::vector<uint8_t>(got.begin() + 100, got.end()), sent);
    pair.tls.close();
}

} // namespace
