// The cryptographic provider: SHA-1 and MD5 digests of the standards' vectors however the
// input is split, the size and value parameters with their length rule, refused handles and
// arguments, and injected failures of every call.
#include "digest.h"
#include "platform/platform.h"
#include "platform/win/hooks.h"
#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <string>

namespace {

constexpr DWORD error_more_data = 234;
constexpr DWORD nte_bad_hash_state = 0x8009000B;

// Holds a provider and one hash object of `alg` for a test.
struct hash_fixture {
    explicit hash_fixture(ALG_ID alg) {
        EXPECT_TRUE(
            CryptAcquireContextW(&h_prov, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT));
        EXPECT_TRUE(CryptCreateHash(h_prov, alg, 0, 0, &h_hash));
    }
    ~hash_fixture() {
        EXPECT_TRUE(CryptDestroyHash(h_hash));
        EXPECT_TRUE(CryptReleaseContext(h_prov, 0));
        fault_clear();
    }
    HCRYPTPROV h_prov = 0;
    HCRYPTHASH h_hash = 0;
};

TEST(provider_digests, match_the_standard_vectors_however_the_input_is_split) {
    struct vector_case {
        ALG_ID alg;
        std::string input;
        const char* digest;
    };
    const std::string million(1000000, 'a');
    const vector_case cases[] = {
        {CALG_SHA1, "abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {CALG_SHA1, "", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {CALG_SHA1, "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
        {CALG_SHA1, million, "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
        {CALG_MD5, "", "d41d8cd98f00b204e9800998ecf8427e"},
        {CALG_MD5, "abc", "900150983cd24fb0d6963f7d28e17f72"},
        {CALG_MD5, "message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {CALG_MD5,
         "12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
        {CALG_MD5, million, "7707d6ae4e027c70eea2a935c2296f21"},
    };
    for (const vector_case& c : cases) {
        SCOPED_TRACE(c.digest);
        // Whole, byte by byte for the short ones, and in uneven pieces for the long ones.
        std::size_t small_piece = c.input.size() > 1000 ? 997 : 1;
        EXPECT_EQ(provider_digest(c.alg, c.input, c.input.size() + 1), c.digest);
        EXPECT_EQ(provider_digest(c.alg, c.input, small_piece), c.digest);
    }
}

TEST(provider_digests, size_is_20_for_sha1_and_16_for_md5) {
    for (auto [alg, size] : {std::pair{CALG_SHA1, 20u}, std::pair{CALG_MD5, 16u}}) {
        SCOPED_TRACE(size);
        hash_fixture f(alg);
        DWORD value = 0;
        DWORD length = sizeof value;
        EXPECT_TRUE(
            CryptGetHashParam(f.h_hash, HP_HASHSIZE, reinterpret_cast<BYTE*>(&value), &length, 0));
        EXPECT_EQ(value, size);
        EXPECT_EQ(length, 4u);
        length = 0;
        EXPECT_TRUE(CryptGetHashParam(f.h_hash, HP_HASHSIZE, nullptr, &length, 0));
        EXPECT_EQ(length, 4u);
        length = 3;
        EXPECT_FALSE(
            CryptGetHashParam(f.h_hash, HP_HASHSIZE, reinterpret_cast<BYTE*>(&value), &length, 0));
        EXPECT_EQ(GetLastError(), error_more_data);
        EXPECT_EQ(length, 4u);
    }
}

TEST(provider_digests, value_length_is_passed_in_and_out) {
    hash_fixture f(CALG_SHA1);
    ASSERT_TRUE(CryptHashData(f.h_hash, reinterpret_cast<const BYTE*>("ab"), 2, 0));
    BYTE value[32] = {};
    DWORD length = 0;
    EXPECT_TRUE(CryptGetHashParam(f.h_hash, HP_HASHVAL, nullptr, &length, 0));
    EXPECT_EQ(length, 20u);
    // Too short a buffer fails, writes nothing and leaves the digest open for more data.
    length = 19;
    EXPECT_FALSE(CryptGetHashParam(f.h_hash, HP_HASHVAL, value, &length, 0));
    EXPECT_EQ(GetLastError(), error_more_data);
    EXPECT_EQ(length, 20u);
    EXPECT_EQ(value[0], 0);
    ASSERT_TRUE(CryptHashData(f.h_hash, reinterpret_cast<const BYTE*>("c"), 1, 0));
    length = sizeof value;
    EXPECT_TRUE(CryptGetHashParam(f.h_hash, HP_HASHVAL, value, &length, 0));
    EXPECT_EQ(length, 20u);
    EXPECT_EQ(value[0], 0xa9); // SHA-1 of "abc"
    EXPECT_EQ(value[19], 0x9d);
    EXPECT_EQ(value[20], 0);
    // The value is final: reading again gives it again, adding data is refused.
    BYTE again[20] = {};
    length = sizeof again;
    EXPECT_TRUE(CryptGetHashParam(f.h_hash, HP_HASHVAL, again, &length, 0));
    EXPECT_EQ(std::memcmp(value, again, 20), 0);
    EXPECT_FALSE(CryptHashData(f.h_hash, reinterpret_cast<const BYTE*>("d"), 1, 0));
    EXPECT_EQ(GetLastError(), nte_bad_hash_state);
}

TEST(provider_handles, stale_or_made_up_handles_fail_with_an_error) {
    HCRYPTPROV h_prov = 0;
    ASSERT_TRUE(CryptAcquireContextW(&h_prov, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT));
    HCRYPTHASH h_hash = 0;
    ASSERT_TRUE(CryptCreateHash(h_prov, CALG_MD5, 0, 0, &h_hash));
    ASSERT_TRUE(CryptDestroyHash(h_hash));
    ASSERT_TRUE(CryptReleaseContext(h_prov, 0));
    BYTE value[20];
    DWORD length = sizeof value;
    HCRYPTHASH h_other = 0;
    for (ULONG_PTR bad : {ULONG_PTR{0}, ULONG_PTR{0xDEADBEEF}, h_prov, h_hash}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(CryptHashData(bad, value, 1, 0));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        EXPECT_FALSE(CryptGetHashParam(bad, HP_HASHVAL, value, &length, 0));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        EXPECT_FALSE(CryptDestroyHash(bad));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        EXPECT_FALSE(CryptCreateHash(bad, CALG_SHA1, 0, 0, &h_other));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        EXPECT_FALSE(CryptReleaseContext(bad, 0));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    }
    EXPECT_EQ(h_other, 0u);
}

TEST(provider_arguments, are_refused_with_their_codes) {
    HCRYPTPROV h_prov = 0;
    struct acquire_case {
        const char* name;
        HCRYPTPROV* prov;
        LPCWSTR container;
        LPCWSTR provider;
        DWORD type;
        DWORD flags;
        DWORD code;
    };
    const acquire_case acquires[] = {
        {"no handle", nullptr, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT,
         ERROR_INVALID_PARAMETER},
        {"other provider type", &h_prov, nullptr, nullptr, 1, CRYPT_VERIFYCONTEXT, NTE_BAD_TYPE},
        {"key container wanted", &h_prov, nullptr, nullptr, PROV_RSA_AES, 0, NTE_BAD_FLAGS},
        {"container named", &h_prov, L"keys", nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT,
         NTE_BAD_FLAGS},
        {"unknown provider", &h_prov, nullptr, L"Acme Provider", PROV_RSA_AES, CRYPT_VERIFYCONTEXT,
         0x80090019},
    };
    for (const acquire_case& c : acquires) {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(CryptAcquireContextW(c.prov, c.container, c.provider, c.type, c.flags));
        EXPECT_EQ(GetLastError(), c.code);
        EXPECT_EQ(h_prov, 0u);
    }
    ASSERT_TRUE(CryptAcquireContextW(&h_prov, nullptr,
                                     L"Microsoft Enhanced RSA and AES Cryptographic Provider",
                                     PROV_RSA_AES, CRYPT_VERIFYCONTEXT));
    HCRYPTHASH h_hash = 0;
    struct create_case {
        const char* name;
        ALG_ID alg;
        HCRYPTKEY key;
        DWORD flags;
        HCRYPTHASH* hash;
        DWORD code;
    };
    const create_case creates[] = {
        {"unknown algorithm", 0x800C, 0, 0, &h_hash, NTE_BAD_ALGID},
        {"key given", CALG_SHA1, 7, 0, &h_hash, 0x80090003},
        {"flags given", CALG_SHA1, 0, 1, &h_hash, NTE_BAD_FLAGS},
        {"no handle", CALG_MD5, 0, 0, nullptr, ERROR_INVALID_PARAMETER},
    };
    for (const create_case& c : creates) {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(CryptCreateHash(h_prov, c.alg, c.key, c.flags, c.hash));
        EXPECT_EQ(GetLastError(), c.code);
        EXPECT_EQ(h_hash, 0u);
    }
    ASSERT_TRUE(CryptCreateHash(h_prov, CALG_SHA1, 0, 0, &h_hash));
    EXPECT_FALSE(CryptHashData(h_hash, nullptr, 1, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(CryptHashData(h_hash, nullptr, 0, 0));
    EXPECT_FALSE(CryptHashData(h_hash, reinterpret_cast<const BYTE*>("a"), 1, 1));
    EXPECT_EQ(GetLastError(), NTE_BAD_FLAGS);
    BYTE value[20];
    DWORD length = sizeof value;
    EXPECT_FALSE(CryptGetHashParam(h_hash, 1, value, &length, 0)); // no other parameter
    EXPECT_EQ(GetLastError(), NTE_BAD_TYPE);
    EXPECT_FALSE(CryptGetHashParam(h_hash, HP_HASHVAL, value, nullptr, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(CryptGetHashParam(h_hash, HP_HASHVAL, value, &length, 1));
    EXPECT_EQ(GetLastError(), NTE_BAD_FLAGS);
    EXPECT_TRUE(CryptDestroyHash(h_hash));
    EXPECT_FALSE(CryptDestroyHash(h_hash));
    EXPECT_FALSE(CryptReleaseContext(h_prov, 1));
    EXPECT_EQ(GetLastError(), NTE_BAD_FLAGS);
    EXPECT_TRUE(CryptReleaseContext(h_prov, 0));
    EXPECT_FALSE(CryptReleaseContext(h_prov, 0));
}

TEST(provider_faults, every_call_fails_when_told_and_leaves_the_code) {
    hash_fixture f(CALG_SHA1);
    HCRYPTPROV h_prov = 0;
    HCRYPTHASH h_hash = 0;
    BYTE value[20];
    DWORD length = sizeof value;
    struct injected_call {
        const char* name;
        std::function<BOOL()> call;
    };
    const injected_call calls[] = {
        {"CryptAcquireContextW",
         [&] {
             return CryptAcquireContextW(&h_prov, nullptr, nullptr, PROV_RSA_AES,
                                         CRYPT_VERIFYCONTEXT);
         }},
        {"CryptCreateHash", [&] { return CryptCreateHash(f.h_prov, CALG_MD5, 0, 0, &h_hash); }},
        {"CryptHashData",
         [&] { return CryptHashData(f.h_hash, reinterpret_cast<const BYTE*>("a"), 1, 0); }},
        {"CryptGetHashParam",
         [&] { return CryptGetHashParam(f.h_hash, HP_HASHSIZE, value, &length, 0); }},
        {"CryptDestroyHash", [&] { return CryptDestroyHash(f.h_hash); }},
        {"CryptReleaseContext", [&] { return CryptReleaseContext(f.h_prov, 0); }},
    };
    for (const injected_call& c : calls) {
        SCOPED_TRACE(c.name);
        fault_inject(c.name, NTE_BAD_ALGID);
        SetLastError(0);
        EXPECT_FALSE(c.call());
        EXPECT_EQ(GetLastError(), NTE_BAD_ALGID);
        fault_clear();
    }
    EXPECT_EQ(h_prov, 0u);
    EXPECT_EQ(h_hash, 0u);
    // A failed call changed nothing: the digest of the data fed so far is still right.
    ASSERT_TRUE(CryptHashData(f.h_hash, reinterpret_cast<const BYTE*>("abc"), 3, 0));
    // The second parameter query fails after the first went through.
    fault_inject("CryptGetHashParam", NTE_BAD_LEN, 1, 1);
    EXPECT_TRUE(CryptGetHashParam(f.h_hash, HP_HASHSIZE, value, &length, 0));
    length = sizeof value;
    EXPECT_FALSE(CryptGetHashParam(f.h_hash, HP_HASHVAL, value, &length, 0));
    EXPECT_EQ(GetLastError(), NTE_BAD_LEN);
    length = sizeof value;
    EXPECT_TRUE(CryptGetHashParam(f.h_hash, HP_HASHVAL, value, &length, 0));
    EXPECT_EQ(value[0], 0xa9);
}

// Every code the provider leaves behind has the system's text for its report.
TEST(provider_errors, have_the_systems_text) {
    for (DWORD code : {ERROR_INVALID_HANDLE, ERROR_INVALID_PARAMETER, ERROR_NOT_ENOUGH_MEMORY,
                       error_more_data, nte_bad_hash_state, NTE_BAD_ALGID, NTE_BAD_FLAGS,
                       NTE_BAD_TYPE, DWORD{0x80090003}, DWORD{0x80090019}}) {
        SCOPED_TRACE(code);
        wchar_t* p_text = nullptr;
        EXPECT_GT(FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                                     FORMAT_MESSAGE_FROM_SYSTEM,
                                 nullptr, code, 0, reinterpret_cast<LPWSTR>(&p_text), 0, nullptr),
                  0u);
        LocalFree(p_text);
    }
}

} // namespace
