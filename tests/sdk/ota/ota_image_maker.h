// Signed firmware images for tests and benchmarks, made with the openssl CLI: a PKI of EC P-256 keys
// (a root, an intermediate CA, a signing key and the wrong variants of each) and images built from the
// tag's wire layout, with every field that a test may want to break.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace zeltest {

// Files in `dir`: "<name>.key" and "<name>.pem" for root, inter, sign; other_root, other_inter,
// other_sign (a chain under another root); other_org (signer of another organisation under inter);
// inter_not_ca (issued by the root but not a CA) and leaf_below (signed by it); rsa_root (RSA-2048).
struct OtaPki {
    std::string dir;
    std::string pem(const std::string &name) const;
    std::string key(const std::string &name) const { return dir + "/" + name + ".key"; }
};
// Makes the certificates once per directory; false when openssl fails.
bool make_ota_pki(const std::string &dir, OtaPki *out);

struct OtaImageSpec {
    std::string payload;
    std::string model = "zelmar.camera.c1"; // empty: no model field
    bool with_new_ver = true;
    std::array<uint8_t, 5> new_ver{1, 2, 3, 0x34, 0x12}; // 1.2.3 build 0x1234
    std::string issuer = "inter";                          // PKI names
    std::string signer = "sign";
    std::string sign_key = "sign";
    int head_len_delta = 0; // added to the header length field
    int len_delta = 0;      // added to the tag length field
    bool bad_magic = false;
};

// The image bytes; empty when openssl fails.
std::string make_ota_image(const OtaPki &pki, const OtaImageSpec &spec);

// Lower-case hex MD5 of `bytes`.
std::string ota_md5_hex(const std::string &bytes);

} // namespace zeltest
