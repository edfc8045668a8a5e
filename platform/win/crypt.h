// The cryptographic provider: SHA-1 and MD5 hash objects (over libcrypto's digests).
#pragma once
#include "platform/win/types.h"

namespace win {

using HCRYPTPROV = ULONG_PTR;
using HCRYPTHASH = ULONG_PTR;
using HCRYPTKEY = ULONG_PTR;
using ALG_ID = unsigned int;

inline constexpr DWORD PROV_RSA_AES = 24;
inline constexpr DWORD CRYPT_VERIFYCONTEXT = 0xF0000000;
inline constexpr ALG_ID CALG_MD5 = 0x8003;
inline constexpr ALG_ID CALG_SHA1 = 0x8004;
inline constexpr DWORD HP_HASHVAL = 0x0002;
inline constexpr DWORD HP_HASHSIZE = 0x0004;

inline constexpr DWORD NTE_BAD_ALGID = 0x80090008;
inline constexpr DWORD NTE_BAD_HASH = 0x80090002;
inline constexpr DWORD NTE_BAD_LEN = 0x80090004;
inline constexpr DWORD NTE_BAD_TYPE = 0x8009000A;
inline constexpr DWORD NTE_BAD_FLAGS = 0x80090009;

BOOL CryptAcquireContextW(HCRYPTPROV* prov, LPCWSTR container, LPCWSTR provider,
                          DWORD prov_type, DWORD flags);
BOOL CryptReleaseContext(HCRYPTPROV prov, DWORD flags);
BOOL CryptCreateHash(HCRYPTPROV prov, ALG_ID alg, HCRYPTKEY key, DWORD flags, HCRYPTHASH* hash);
BOOL CryptHashData(HCRYPTHASH hash, const BYTE* data, DWORD length, DWORD flags);
BOOL CryptGetHashParam(HCRYPTHASH hash, DWORD param, BYTE* data, DWORD* length, DWORD flags);
BOOL CryptDestroyHash(HCRYPTHASH hash);

} // namespace win
