// Test helper: a self-signed ECDSA certificate with its key, made at run time into a temporary
// file and loaded into the TLS server context, so that upgrades can be tried over TLS.
#pragma once
#include "transport/tls.h"
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <random>
#include <string>

namespace test_cert {

// Writes the PEM file (certificate, then key) and returns its path; empty on failure.
inline std::string make_pem(const std::string& name) {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* cert = X509_new();
    if (!key || !cert) return {};
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
    X509_set_pubkey(cert, key);
    X509_NAME* subject = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
    X509_set_issuer_name(cert, subject);
    X509_sign(cert, key, EVP_sha256());
    std::string unique = name + "-" + std::to_string(std::random_device{}()) + ".pem";
    std::string path = (std::filesystem::temp_directory_path() / unique).string();
    FILE* f = std::fopen(path.c_str(), "w");
    bool ok = f && PEM_write_X509(f, cert) &&
              PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr);
    if (f) std::fclose(f);
    X509_free(cert);
    EVP_PKEY_free(key);
    return ok ? path : std::string();
}

// A fresh server context loaded from a new certificate; false when that failed. The file is
// removed once loaded.
inline bool load_server_context(const std::string& name) {
    std::string pem = make_pem(name);
    if (pem.empty()) return false;
    tls_ctx_release();
    server_ctx = SSL_CTX_new(TLS_server_method());
    tls_ctx_setup();
    std::fill(std::begin(cert_path), std::end(cert_path), u'\0');
    std::fill(std::begin(key_path), std::end(key_path), u'\0');
    std::copy(pem.begin(), pem.end(), cert_path);
    std::copy(pem.begin(), pem.end(), key_path);
    bool loaded = tls_load_cert() == 0;
    std::filesystem::remove(pem);
    return loaded;
}

} // namespace test_cert
