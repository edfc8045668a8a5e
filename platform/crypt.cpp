// The cryptographic provider: provider and hash handles over libcrypto's SHA-1 and MD5.
// Handles are looked up in a table, so a stale or made-up handle fails with an error; every
// call is injectable by its Windows name.
#include "platform/win/crypt.h"
#include "platform/internal/fault.h"
#include "platform/win/error.h"

namespace {

// Windows values, named before the other headers can shadow any of them.
constexpr win::BOOL win_true = win::TRUE;
constexpr win::BOOL win_false = win::FALSE;
constexpr win::DWORD error_invalid_handle = win::ERROR_INVALID_HANDLE;
constexpr win::DWORD error_invalid_parameter = win::ERROR_INVALID_PARAMETER;
constexpr win::DWORD error_not_enough_memory = win::ERROR_NOT_ENOUGH_MEMORY;
constexpr win::DWORD error_more_data = 234;
constexpr win::DWORD nte_bad_algid = win::NTE_BAD_ALGID;
constexpr win::DWORD nte_bad_flags = win::NTE_BAD_FLAGS;
constexpr win::DWORD nte_bad_type = win::NTE_BAD_TYPE;
constexpr win::DWORD nte_bad_key = 0x80090003;
constexpr win::DWORD nte_bad_hash_state = 0x8009000B;
constexpr win::DWORD nte_keyset_not_def = 0x80090019;
constexpr win::DWORD prov_rsa_aes = win::PROV_RSA_AES;
constexpr win::DWORD crypt_verifycontext = win::CRYPT_VERIFYCONTEXT;
constexpr win::ALG_ID calg_md5 = win::CALG_MD5;
constexpr win::ALG_ID calg_sha1 = win::CALG_SHA1;
constexpr win::DWORD hp_hashval = win::HP_HASHVAL;
constexpr win::DWORD hp_hashsize = win::HP_HASHSIZE;

} // namespace

#include <cstring>
#include <memory>
#include <mutex>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <unordered_map>

namespace {

using win::BOOL;
using win::BYTE;
using win::DWORD;
using win::ULONG_PTR;

// One hash object: the digest context until the value is read, then the value itself.
// Only its owner's thread uses it; the table's lock covers finding it, not using it.
struct hash_object {
    EVP_MD_CTX* ctx = nullptr;            // the running digest; freed once the value is taken
    unsigned char value[EVP_MAX_MD_SIZE]; // the digest once finished
    DWORD size = 0;                       // digest length in bytes
    bool finished = false;                // HP_HASHVAL was read: no more data may be added
    ~hash_object() {
        EVP_MD_CTX_free(ctx);
        OPENSSL_cleanse(value, sizeof value);
    }
};

// Handles are numbers from a counter that never repeats; 0 is never a handle. Providers
// hold nothing but their place in the table.
std::mutex table_lock;
std::unordered_map<ULONG_PTR, std::shared_ptr<hash_object>> hashes;
std::unordered_map<ULONG_PTR, bool> providers;
ULONG_PTR next_handle = 1;

BOOL fail(DWORD code) {
    win::SetLastError(code);
    return win_false;
}

std::shared_ptr<hash_object> find_hash(win::HCRYPTHASH hash) {
    std::lock_guard guard(table_lock);
    auto it = hashes.find(hash);
    return it == hashes.end() ? nullptr : it->second;
}

bool provider_exists(win::HCRYPTPROV prov) {
    std::lock_guard guard(table_lock);
    return providers.count(prov) != 0;
}

bool same_text(const wchar_t* a, const wchar_t* b) {
    return std::wcscmp(a, b) == 0;
}

// Writes `size` bytes of `source` under the in/out length rule: a null buffer asks for the
// length; a buffer shorter than the value fails with ERROR_MORE_DATA and the length needed.
bool hand_out(const void* source, DWORD size, BYTE* data, DWORD* length, DWORD* code) {
    DWORD room = *length;
    *length = size;
    if (!data) return true;
    if (room < size) return *code = error_more_data, false;
    std::memcpy(data, source, size);
    return true;
}

// Completes the digest once; later reads give the same value.
bool finish(hash_object& object) {
    if (object.finished) return true;
    unsigned int size = 0;
    if (EVP_DigestFinal_ex(object.ctx, object.value, &size) != 1) return false;
    EVP_MD_CTX_free(object.ctx);
    object.ctx = nullptr;
    object.finished = true;
    return true;
}

} // namespace

namespace win {

// Only the default AES provider without a key container exists: CRYPT_VERIFYCONTEXT is
// required, with no container name.
BOOL CryptAcquireContextW(HCRYPTPROV* prov, LPCWSTR container, LPCWSTR provider, DWORD prov_type,
                          DWORD flags) {
    if (win::internal::fault_fails("CryptAcquireContextW")) return win_false;
    if (!prov) return fail(error_invalid_parameter);
    if (prov_type != prov_rsa_aes) return fail(nte_bad_type);
    if (flags != crypt_verifycontext || (container && *container)) return fail(nte_bad_flags);
    if (provider && !same_text(provider, L"Microsoft Enhanced RSA and AES Cryptographic Provider"))
        return fail(nte_keyset_not_def);
    std::lock_guard guard(table_lock);
    ULONG_PTR handle = next_handle++;
    providers.emplace(handle, true);
    *prov = handle;
    return win_true;
}

BOOL CryptReleaseContext(HCRYPTPROV prov, DWORD flags) {
    if (win::internal::fault_fails("CryptReleaseContext")) return win_false;
    std::lock_guard guard(table_lock);
    if (!providers.count(prov)) return fail(error_invalid_handle);
    if (flags != 0) return fail(nte_bad_flags);
    providers.erase(prov);
    return win_true;
}

BOOL CryptCreateHash(HCRYPTPROV prov, ALG_ID alg, HCRYPTKEY key, DWORD flags, HCRYPTHASH* hash) {
    if (win::internal::fault_fails("CryptCreateHash")) return win_false;
    if (!hash) return fail(error_invalid_parameter);
    if (!provider_exists(prov)) return fail(error_invalid_handle);
    if (alg != calg_sha1 && alg != calg_md5) return fail(nte_bad_algid);
    if (key != 0) return fail(nte_bad_key); // these digests take no key
    if (flags != 0) return fail(nte_bad_flags);
    auto object = std::make_shared<hash_object>();
    const EVP_MD* md = alg == calg_sha1 ? EVP_sha1() : EVP_md5();
    object->ctx = EVP_MD_CTX_new();
    if (!object->ctx) return fail(error_not_enough_memory);
    if (EVP_DigestInit_ex(object->ctx, md, nullptr) != 1) return fail(nte_bad_algid);
    object->size = static_cast<DWORD>(EVP_MD_get_size(md));
    std::lock_guard guard(table_lock);
    HCRYPTHASH handle = next_handle++;
    hashes.emplace(handle, std::move(object));
    *hash = handle;
    return win_true;
}

BOOL CryptHashData(HCRYPTHASH hash, const BYTE* data, DWORD length, DWORD flags) {
    if (win::internal::fault_fails("CryptHashData")) return win_false;
    std::shared_ptr<hash_object> object = find_hash(hash);
    if (!object) return fail(error_invalid_handle);
    if (flags != 0) return fail(nte_bad_flags);
    if (!data && length != 0) return fail(error_invalid_parameter);
    if (object->finished) return fail(nte_bad_hash_state);
    if (length != 0 && EVP_DigestUpdate(object->ctx, data, length) != 1)
        return fail(nte_bad_hash_state);
    return win_true;
}

BOOL CryptGetHashParam(HCRYPTHASH hash, DWORD param, BYTE* data, DWORD* length, DWORD flags) {
    if (win::internal::fault_fails("CryptGetHashParam")) return win_false;
    std::shared_ptr<hash_object> object = find_hash(hash);
    if (!object) return fail(error_invalid_handle);
    if (!length) return fail(error_invalid_parameter);
    if (flags != 0) return fail(nte_bad_flags);
    DWORD code = 0;
    if (param == hp_hashsize) {
        DWORD size = object->size;
        return hand_out(&size, sizeof size, data, length, &code) ? win_true : fail(code);
    }
    if (param != hp_hashval) return fail(nte_bad_type);
    if (data && *length < object->size) { // too short: the digest stays open
        *length = object->size;
        return fail(error_more_data);
    }
    if (data && !finish(*object)) return fail(nte_bad_hash_state);
    return hand_out(object->value, object->size, data, length, &code) ? win_true : fail(code);
}

BOOL CryptDestroyHash(HCRYPTHASH hash) {
    if (win::internal::fault_fails("CryptDestroyHash")) return win_false;
    std::shared_ptr<hash_object> object;
    {
        std::lock_guard guard(table_lock);
        auto it = hashes.find(hash);
        if (it == hashes.end()) return fail(error_invalid_handle);
        object = std::move(it->second);
        hashes.erase(it);
    }
    return win_true; // the object and its value are wiped when the last user lets go
}

} // namespace win
