#include "tests/support/test_certificate.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <utility>

namespace nimbra::testing {

void make_certificate(const std::string& cert_path, const std::string& key_path)
{
    EVP_PKEY* key = EVP_EC_gen("prime256v1");
    X509* cert = X509_new();
    ASSERT_TRUE(key && cert);
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), 2 * 24 * 3600);
    X509_set_pubkey(cert, key);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1,
                               0);
    X509_set_issuer_name(cert, name);
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, cert, cert, nullptr, nullptr, 0);
    for (auto [nid, value] :
         {std::pair{NID_subject_alt_name, "IP:127.0.0.1"}, std::pair{NID_basic_constraints, "critical,CA:TRUE"}}) {
        X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
        ASSERT_TRUE(extension);
        X509_add_ext(cert, extension, -1);
        X509_EXTENSION_free(extension);
    }
    ASSERT_TRUE(X509_sign(cert, key, EVP_sha256()));
    FILE* out = std::fopen(cert_path.c_str(), "w");
    ASSERT_TRUE(out && PEM_write_X509(out, cert));
    std::fclose(out);
    out = std::fopen(key_path.c_str(), "w");
    ASSERT_TRUE(out && PEM_write_PrivateKey(out, key, nullptr, nullptr, 0, nullptr, nullptr));
    std::fclose(out);
    X509_free(cert);
    EVP_PKEY_free(key);
}

}  // namespace nimbra::testing
