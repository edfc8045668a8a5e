// The hashing service: digests of both algorithms, repeated init, release of every state, and
// each failure path with the report it prints, through the platform's fault injection.
#include "console_capture.h"
#include "platform/win/hooks.h"
#include "ws/ws.h"
#include <cstring>
#include <gtest/gtest.h>
#include <string>

namespace {

G_CRYPT released() {
    G_CRYPT c;
    std::memset(static_cast<void*>(&c), 0, sizeof c);
    c.alg = CALG_SHA1;
    return c;
}

bool is_released(const G_CRYPT& c) {
    G_CRYPT r = released();
    return std::memcmp(&c, &r, sizeof c) == 0;
}

std::string hex(const uint8_t* p, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) s += {digits[p[i] >> 4], digits[p[i] & 15]};
    return s;
}

struct crypt_test : ::testing::Test {
    G_CRYPT crypt = released();
    capture::console out;
    void TearDown() override {
        crypt.release();
        fault_clear();
    }
};

} // namespace

TEST_F(crypt_test, digests_of_both_algorithms) {
    struct digest_case {
        ALG_ID alg;
        uint32_t length;
        const char* abc;
    };
    for (const digest_case& c :
         {digest_case{CALG_SHA1, 20, "a9993e364706816aba3e25717850c26c9cd0d89d"},
          digest_case{CALG_MD5, 16, "900150983cd24fb0d6963f7d28e17f72"}}) {
        ASSERT_EQ(crypt.init(c.alg), 0u);
        ASSERT_EQ(crypt.hash_ready, 1);
        EXPECT_EQ(crypt.alg, c.alg);
        EXPECT_EQ(crypt.hash_count, 1u);
        EXPECT_EQ(crypt.txt_lengths, c.length);
        EXPECT_EQ(crypt.values_length, c.length);
        EXPECT_EQ(crypt.all_length, 16u);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(crypt.txt_hashes[0]) % 256, 0u);
        EXPECT_EQ(crypt.ctx, reinterpret_cast<HCRYPTHASH*>(crypt.txt_hashes + 1));
        EXPECT_EQ(crypt.hash("ab", 2), 0u);
        ASSERT_TRUE(CryptHashData(crypt.ctx[0], reinterpret_cast<const BYTE*>("c"), 1, 0));
        ASSERT_EQ(crypt.final(), 0u);
        EXPECT_EQ(hex(crypt.txt_hashes[0], crypt.txt_lengths), c.abc);
        crypt.release();
        EXPECT_TRUE(is_released(crypt));
    }
    EXPECT_EQ(out.text(), "");
}

TEST_F(crypt_test, init_twice_releases_what_the_first_held) {
    ASSERT_EQ(crypt.init(CALG_MD5), 0u);
    HCRYPTHASH first_hash = crypt.ctx[0];
    HCRYPTPROV first_prov = crypt.h_prov;
    ASSERT_EQ(crypt.init(CALG_SHA1), 0u);
    EXPECT_EQ(crypt.txt_lengths, 20u);
    SetLastError(0);
    EXPECT_FALSE(CryptHashData(first_hash, reinterpret_cast<const BYTE*>("x"), 1, 0))
        << "the first context is destroyed";
    HCRYPTHASH probe = 0;
    EXPECT_FALSE(CryptCreateHash(first_prov, CALG_SHA1, 0, 0, &probe))
        << "the first provider is released";
    EXPECT_EQ(crypt.hash("abc", 3), 0u);
    EXPECT_EQ(crypt.final(), 0u);
    EXPECT_EQ(hex(crypt.txt_hashes[0], 20), "a9993e364706816aba3e25717850c26c9cd0d89d");
}

TEST_F(crypt_test, release_on_a_zeroed_record_only_sets_the_algorithm) {
    std::memset(static_cast<void*>(&crypt), 0, sizeof crypt);
    crypt.release();
    EXPECT_TRUE(is_released(crypt));
    crypt.release();
    EXPECT_TRUE(is_released(crypt));
    EXPECT_EQ(out.text(), "");
}

TEST_F(crypt_test, hash_before_init_or_after_a_failed_init_is_refused_silently) {
    EXPECT_EQ(crypt.hash("abc", 3), 0xFFFFFFFFu);
    EXPECT_EQ(out.text(), "");
    fault_inject("CryptCreateHash", NTE_BAD_ALGID);
    crypt.init(CALG_SHA1);
    out.clear();
    EXPECT_EQ(crypt.hash("abc", 3), 0xFFFFFFFFu);
    EXPECT_EQ(out.text(), "");
}

TEST_F(crypt_test, failures_print_their_label_and_return_the_code) {
    struct failure {
        const char* call;
        uint32_t skip; // calls of that name that go through first
        ALG_ID alg;
        const char* label;
        bool released_after;
    };
    const failure cases[] = {
        {"CryptAcquireContextW", 0, CALG_SHA1,
         "CryptAcquireContext(&h_prov, NULL, NULL, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)", false},
        // The label names SHA-1 whatever the algorithm.
        {"CryptCreateHash", 0, CALG_MD5, "CryptCreateHash(h_prov, CALG_SHA1, 0, 0, &ctx[i])", true},
        {"CryptCreateHash", 0, CALG_SHA1, "CryptCreateHash(h_prov, CALG_SHA1, 0, 0, &ctx[i])",
         true},
    };
    for (const failure& c : cases) {
        SCOPED_TRACE(c.call);
        out.clear();
        fault_inject(c.call, NTE_BAD_ALGID, c.skip);
        EXPECT_EQ(crypt.init(c.alg), NTE_BAD_ALGID);
        EXPECT_EQ(crypt.hash_ready, 0);
        std::string text = out.text();
        EXPECT_EQ(text.rfind(std::string(c.label) +
                                 "\n   ^ERROR: " + std::to_string(NTE_BAD_ALGID) + ", ",
                             0),
                  0u)
            << text;
        if (c.released_after) {
            EXPECT_TRUE(is_released(crypt));
            EXPECT_EQ(crypt.alg, CALG_SHA1);
        }
        fault_clear();
        crypt.release();
    }
}

TEST_F(crypt_test, failed_size_query_gives_a_256_byte_value_block) {
    fault_inject("CryptGetHashParam", NTE_BAD_TYPE);
    ASSERT_EQ(crypt.init(CALG_SHA1), 0u);
    EXPECT_EQ(crypt.hash_ready, 1);
    EXPECT_EQ(crypt.txt_lengths, 256u);
    EXPECT_EQ(crypt.values_length, 256u);
    EXPECT_EQ(out.text(), "") << "the size query fails without a message";
    EXPECT_EQ(crypt.hash("abc", 3), 0u);
    EXPECT_EQ(crypt.final(), 0u);
    EXPECT_EQ(hex(crypt.txt_hashes[0], 20), "a9993e364706816aba3e25717850c26c9cd0d89d");
}

TEST_F(crypt_test, failed_hash_and_final_report_and_keep_the_service) {
    ASSERT_EQ(crypt.init(CALG_SHA1), 0u);
    fault_inject("CryptHashData", NTE_BAD_HASH);
    EXPECT_EQ(crypt.hash("abc", 3), NTE_BAD_HASH);
    EXPECT_EQ(crypt.hash_ready, 1);
    EXPECT_EQ(out.text().rfind("CryptHashData(ctx[index], data, length, 0)\n   ^ERROR: ", 0), 0u);
    out.clear();
    fault_inject("CryptGetHashParam", NTE_BAD_HASH);
    EXPECT_EQ(crypt.final(), NTE_BAD_HASH);
    EXPECT_EQ(out.text().rfind("CryptGetHashParam(ctx[i], HP_HASHVAL, txt_hashes[i], "
                               "&txt_lengths[i], 0)\n   ^ERROR: ",
                               0),
              0u);
    EXPECT_EQ(crypt.hash_ready, 1);
}

TEST_F(crypt_test, failures_that_leave_no_code_are_failures_still) {
    ASSERT_EQ(crypt.init(CALG_SHA1), 0u);
    fault_inject("CryptHashData", 0);
    EXPECT_NE(crypt.hash("abc", 3), 0u);
    EXPECT_EQ(out.text().rfind("CryptHashData(ctx[index], data, length, 0)\n   ^ERROR: 0, ", 0), 0u)
        << out.text();
    EXPECT_EQ(crypt.hash_ready, 1);
    out.clear();
    fault_inject("CryptGetHashParam", 0);
    EXPECT_NE(crypt.final(), 0u);
    EXPECT_EQ(crypt.hash_ready, 1);
}

TEST(crypt_owner, destroying_the_websocket_state_releases_a_service_left_set_up) {
    HCRYPTHASH left = 0;
    {
        G_WS ws;
        EXPECT_EQ(ws.crypt.alg, CALG_SHA1) << "constructed released";
        EXPECT_EQ(ws.crypt.hash_ready, 0);
        ASSERT_EQ(ws.crypt.init(CALG_MD5), 0u); // as a handshake that stopped on a failure
        left = ws.crypt.ctx[0];
    }
    EXPECT_FALSE(CryptHashData(left, reinterpret_cast<const BYTE*>("x"), 1, 0))
        << "the context was destroyed with its owner";
}
