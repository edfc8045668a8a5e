// The hashing service: one digest per upgrade handshake over the platform's cryptographic
// provider. Everything it holds is wiped before it is freed; nothing is cached between uses.
#include "ws/ws.h"
#include <cstdlib>
#include <cstring>
#include <openssl/crypto.h>

namespace {

constexpr uint64_t table_bytes_per_context = 16; // a value pointer and a context handle
constexpr size_t value_alignment = 256;
constexpr uint32_t size_unknown = 256; // value length when the provider does not say

// The last error of a failed allocation; an allocator that leaves none still is a failure.
DWORD allocation_error() {
    DWORD code = GetLastError();
    return code ? code : ERROR_NOT_ENOUGH_MEMORY;
}

} // namespace

uint32_t G_CRYPT::init(ALG_ID algorithm) {
    release();
    alg = algorithm;
    hash_count = 1;
    if (!CryptAcquireContextW(&h_prov, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) {
        return print_error(GetLastError(),
                           L"CryptAcquireContext(&h_prov, NULL, NULL, PROV_RSA_AES, "
                           L"CRYPT_VERIFYCONTEXT)");
    }
    all_length = table_bytes_per_context * hash_count;
    txt_hashes = static_cast<uint8_t**>(std::malloc(all_length));
    if (!txt_hashes) {
        // The provider stays held until the next release.
        return print_error(allocation_error(),
                           L"G_CRYPT::init(){ txt_hashes = malloc(all_length); }");
    }
    std::memset(txt_hashes, 0, all_length);
    ctx = reinterpret_cast<HCRYPTHASH*>(txt_hashes + hash_count);
    for (uint64_t i = 0; i < hash_count; ++i) {
        if (!CryptCreateHash(h_prov, alg, 0, 0, &ctx[i])) {
            uint32_t code =
                print_error(GetLastError(), L"CryptCreateHash(h_prov, CALG_SHA1, 0, 0, &ctx[i])");
            release();
            return code;
        }
    }
    DWORD size_length = sizeof txt_lengths;
    if (!CryptGetHashParam(ctx[0], HP_HASHSIZE, reinterpret_cast<BYTE*>(&txt_lengths), &size_length,
                           0)) {
        txt_lengths = size_unknown;
    }
    values_length = uint64_t(txt_lengths) * hash_count;
    txt_hashes[0] = static_cast<uint8_t*>(_aligned_malloc(values_length, value_alignment));
    if (!txt_hashes[0]) {
        uint32_t code =
            print_error(allocation_error(), L"G_CRYPT::init(){ txt_values = malloc(); }");
        release();
        return code;
    }
    std::memset(txt_hashes[0], 0, values_length);
    for (uint64_t i = 1; i < hash_count; ++i) txt_hashes[i] = txt_hashes[i - 1] + txt_lengths;
    hash_ready = 1;
    return 0;
}

uint32_t G_CRYPT::hash(const void* data, int32_t length) {
    if (!hash_ready) return 0xFFFFFFFF;
    if (CryptHashData(ctx[0], static_cast<const BYTE*>(data), DWORD(length), 0)) return 0;
    uint32_t code = print_error(GetLastError(), L"CryptHashData(ctx[index], data, length, 0)");
    // A provider that fails without a code has still failed: the data is not in the hash.
    return code ? code : ERROR_INVALID_PARAMETER;
}

uint32_t G_CRYPT::final() {
    DWORD length = txt_lengths; // passed in and out from one context to the next
    uint32_t result = 0;
    for (uint64_t i = 0; i < hash_count; ++i) {
        if (CryptGetHashParam(ctx[i], HP_HASHVAL, txt_hashes[i], &length, 0)) continue;
        DWORD code = GetLastError();
        if (result == 0) {
            result = print_error(code, L"CryptGetHashParam(ctx[i], HP_HASHVAL, txt_hashes[i], "
                                       L"&txt_lengths[i], 0)");
            if (result == 0) result = ERROR_INVALID_PARAMETER;
        }
    }
    return result;
}

void G_CRYPT::release() {
    hash_ready = 0;
    if (ctx) {
        for (uint64_t i = 0; i < hash_count; ++i)
            if (ctx[i]) CryptDestroyHash(ctx[i]);
    }
    if (txt_hashes) {
        if (txt_hashes[0]) {
            OPENSSL_cleanse(txt_hashes[0], values_length); // a digest never outlives its use
            _aligned_free(txt_hashes[0]);
        }
        OPENSSL_cleanse(txt_hashes, all_length);
        std::free(txt_hashes);
    }
    if (h_prov) CryptReleaseContext(h_prov, 0);
    std::memset(static_cast<void*>(this), 0, sizeof *this);
    alg = CALG_SHA1;
}
