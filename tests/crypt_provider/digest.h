// Test helpers: one whole digest through the provider, fed in pieces of a given size.
#pragma once
#include "platform/platform.h"
#include <algorithm>
#include <cstdio>
#include <string>

// The digest of `data` as lower-case hex, fed `piece` bytes at a time; "" on any failure.
inline std::string provider_digest(ALG_ID alg, const std::string& data, std::size_t piece) {
    HCRYPTPROV h_prov = 0;
    HCRYPTHASH h_hash = 0;
    std::string hex;
    if (!CryptAcquireContextW(&h_prov, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT))
        return hex;
    if (CryptCreateHash(h_prov, alg, 0, 0, &h_hash)) {
        bool fed = true;
        for (std::size_t at = 0; fed && at < data.size(); at += piece) {
            std::size_t n = std::min(piece, data.size() - at);
            fed = CryptHashData(h_hash, reinterpret_cast<const BYTE*>(data.data() + at),
                                static_cast<DWORD>(n), 0);
        }
        BYTE value[64];
        DWORD length = sizeof value;
        if (fed && CryptGetHashParam(h_hash, HP_HASHVAL, value, &length, 0)) {
            for (DWORD i = 0; i < length; ++i) {
                char two[3];
                std::snprintf(two, sizeof two, "%02x", value[i]);
                hex += two;
            }
        }
        CryptDestroyHash(h_hash);
    }
    CryptReleaseContext(h_prov, 0);
    return hex;
}
