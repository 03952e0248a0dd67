// X.509 chains of the crypto seam: a trusted root, the certificates issued below it and the signature
// check with the last one.
#include "zelmar/zel_crypto.h"

#include <mbedtls/oid.h>
#include <mbedtls/pk.h>
#include <mbedtls/x509_crt.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

struct zel_x509_chain {
    mbedtls_x509_crt root;
    mbedtls_x509_crt signer;                 // the last certificate added
    std::vector<std::vector<uint8_t>> issued; // DER of every added certificate, in the order added

    zel_x509_chain()
    {
        mbedtls_x509_crt_init(&root);
        mbedtls_x509_crt_init(&signer);
    }
    ~zel_x509_chain()
    {
        mbedtls_x509_crt_free(&root);
        mbedtls_x509_crt_free(&signer);
    }
    zel_x509_chain(const zel_x509_chain &) = delete;
    zel_x509_chain &operator=(const zel_x509_chain &) = delete;
};

namespace {

// mbedTLS parses PEM only from a NUL-terminated buffer whose length counts the NUL.
int parse_pem(mbedtls_x509_crt *crt, const char *pem, size_t len)
{
    const std::string text(pem, len);
    return mbedtls_x509_crt_parse(crt, reinterpret_cast<const unsigned char *>(text.c_str()), text.size() + 1);
}

} // namespace

zel_x509_chain *zel_crypto_chain_open(const char *root_pem, size_t len, int *err)
{
    if (!root_pem)
        return nullptr;
    auto chain = std::make_unique<zel_x509_chain>();
    const int rc = parse_pem(&chain->root, root_pem, len);
    if (err)
        *err = rc;
    return rc == 0 ? chain.release() : nullptr;
}

int zel_crypto_chain_add(zel_x509_chain *chain, const char *pem, size_t len, int *err)
{
    if (!chain || !pem)
        return -2;
    mbedtls_x509_crt path; // the new certificate, then its issuers up to the root
    mbedtls_x509_crt_init(&path);
    const std::unique_ptr<mbedtls_x509_crt, void (*)(mbedtls_x509_crt *)> guard(&path, mbedtls_x509_crt_free);
    int rc = parse_pem(&path, pem, len);
    if (rc != 0) {
        if (err)
            *err = rc;
        return -1;
    }
    for (auto it = chain->issued.rbegin(); it != chain->issued.rend(); ++it)
        if (mbedtls_x509_crt_parse_der(&path, it->data(), it->size()) != 0)
            return -1;
    // Verifying the path against the root also demands that every issuer be a CA.
    uint32_t flags = 0;
    if (mbedtls_x509_crt_verify(&path, &chain->root, nullptr, nullptr, &flags, nullptr, nullptr) != 0) {
        if (err)
            *err = static_cast<int>(flags);
        return -3;
    }
    std::vector<uint8_t> der(path.raw.p, path.raw.p + path.raw.len);
    mbedtls_x509_crt_free(&chain->signer);
    mbedtls_x509_crt_init(&chain->signer);
    if (mbedtls_x509_crt_parse_der(&chain->signer, der.data(), der.size()) != 0)
        return -1;
    chain->issued.push_back(std::move(der));
    return 0;
}

int zel_crypto_chain_organisation(const zel_x509_chain *chain, char *out, size_t size)
{
    const mbedtls_x509_crt *signer = chain && !chain->issued.empty() ? &chain->signer : nullptr;
    if (!signer || !out || size == 0)
        return -1;
    for (const mbedtls_x509_name *n = &signer->subject; n; n = n->next) {
        if (n->oid.p && MBEDTLS_OID_CMP(MBEDTLS_OID_AT_ORGANIZATION, &n->oid) == 0) {
            const size_t len = n->val.len < size - 1 ? n->val.len : size - 1;
            std::memcpy(out, n->val.p, len);
            out[len] = 0;
            return 0;
        }
    }
    return -1;
}

int zel_crypto_chain_verify_sha256(const zel_x509_chain *chain, const uint8_t digest[ZEL_SHA256_LEN],
                                   const uint8_t *sig, size_t sig_len)
{
    const mbedtls_x509_crt *signer = chain && !chain->issued.empty() ? &chain->signer : nullptr;
    if (!signer || !digest || !sig || sig_len == 0)
        return -1;
    auto *pk = const_cast<mbedtls_pk_context *>(&signer->pk);
    return mbedtls_pk_verify(pk, MBEDTLS_MD_SHA256, digest, ZEL_SHA256_LEN, sig, sig_len) == 0 ? 0 : -1;
}

void zel_crypto_chain_close(zel_x509_chain *chain)
{
    delete chain;
}
