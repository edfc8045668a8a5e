// The hashing service wipes the digest block and the table before it frees them. The free
// calls of the ws library are routed through the wrappers below (linker --wrap), which look at
// the block while it still belongs to the program.
#include "platform/win/hooks.h"
#include "ws/ws.h"
#include <cstring>
#include <gtest/gtest.h>

extern "C" void __real_free(void* p);
extern "C" void __real__ZN3win13_aligned_freeEPv(void* p);

namespace {

struct watched_block {
    const void* p = nullptr; // the block to look at when it is freed
    size_t n = 0;            // its size
    bool freed = false;      // it was freed
    bool zero = false;       // every byte was 0 when it was freed
};
watched_block table, values;

void look(watched_block& w, void* p) {
    if (!w.p || p != w.p) return;
    const auto* b = static_cast<const unsigned char*>(p);
    w.zero = true;
    for (size_t i = 0; i < w.n; ++i) w.zero = w.zero && b[i] == 0;
    w.freed = true;
}

void watch(const G_CRYPT& c) {
    table = {c.txt_hashes, c.all_length, false, false};
    values = {c.txt_hashes[0], c.values_length, false, false};
}

} // namespace

extern "C" void __wrap_free(void* p) {
    look(table, p);
    __real_free(p);
}
extern "C" void __wrap__ZN3win13_aligned_freeEPv(void* p) {
    look(values, p);
    __real__ZN3win13_aligned_freeEPv(p);
}

TEST(crypt_wipe, digest_and_table_are_zero_when_freed) {
    for (ALG_ID alg : {CALG_SHA1, CALG_MD5}) {
        G_CRYPT c{};
        c.alg = CALG_SHA1;
        ASSERT_EQ(c.init(alg), 0u);
        ASSERT_EQ(c.hash("secret key material", 19), 0u);
        ASSERT_EQ(c.final(), 0u);
        watch(c);
        c.release();
        EXPECT_TRUE(values.freed && values.zero) << "digest block";
        EXPECT_TRUE(table.freed && table.zero) << "table";
    }
}

TEST(crypt_wipe, a_second_init_wipes_what_the_first_held) {
    G_CRYPT c{};
    ASSERT_EQ(c.init(CALG_MD5), 0u);
    ASSERT_EQ(c.hash("abc", 3), 0u);
    ASSERT_EQ(c.final(), 0u);
    watch(c);
    ASSERT_EQ(c.init(CALG_SHA1), 0u);
    EXPECT_TRUE(values.freed && values.zero);
    EXPECT_TRUE(table.freed && table.zero);
    c.release();
}

TEST(crypt_wipe, an_init_that_fails_still_wipes_what_it_released) {
    G_CRYPT c{};
    ASSERT_EQ(c.init(CALG_SHA1), 0u);
    ASSERT_EQ(c.hash("abc", 3), 0u);
    ASSERT_EQ(c.final(), 0u);
    watch(c);
    win::fault_inject("CryptCreateHash", NTE_BAD_ALGID);
    EXPECT_NE(c.init(CALG_SHA1), 0u); // releases the first, then fails on the second
    win::fault_clear();
    EXPECT_TRUE(values.freed && values.zero);
    EXPECT_TRUE(table.freed && table.zero);
    EXPECT_EQ(c.hash_ready, 0);
}
