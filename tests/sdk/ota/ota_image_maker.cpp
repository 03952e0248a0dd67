#include "ota_image_maker.h"

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <vector>

#include "zel_test_support.h"
#include "zelmar/zel_crypto.h"

namespace zeltest {

namespace {

constexpr size_t kEcSignatureLen = 71; // DER ECDSA P-256 signatures are 70 to 72 bytes; 71 is the most common

std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void put_le(std::string &out, size_t at, uint32_t v, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out[at + static_cast<size_t>(i)] = static_cast<char>(v >> (8 * i) & 0xff);
}

} // namespace

std::string OtaPki::pem(const std::string &name) const
{
    return slurp(dir + "/" + name + ".pem");
}

bool make_ota_pki(const std::string &dir, OtaPki *out)
{
    out->dir = dir;
    if (run_command("test -s " + dir + "/rsa_root.pem") == 0)
        return true;
    const std::string ec = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
    auto root = [&](const std::string &name, const std::string &newkey, const std::string &org) {
        return "openssl req -x509 " + newkey + " -keyout " + name + ".key -out " + name +
               ".pem -days 3650 -subj '/O=" + org + "/CN=" + name + "' 2>/dev/null";
    };
    // `issuer` signs a new key `name`; `ext` says whether it is a CA.
    auto issue = [&](const std::string &name, const std::string &issuer, const std::string &org, bool ca) {
        return "openssl req " + ec + " -keyout " + name + ".key -out " + name + ".csr -subj '/O=" + org + "/CN=" +
               name + "' 2>/dev/null && printf '" +
               (ca ? "basicConstraints=critical,CA:TRUE\\nkeyUsage=keyCertSign,cRLSign\\n"
                   : "basicConstraints=CA:FALSE\\nkeyUsage=digitalSignature\\n") +
               "' > " + name + ".ext && openssl x509 -req -in " + name + ".csr -CA " + issuer + ".pem -CAkey " +
               issuer + ".key -CAcreateserial -days 3650 -extfile " + name + ".ext -out " + name +
               ".pem 2>/dev/null";
    };
    const std::string cmd = "mkdir -p " + dir + " && cd " + dir + " && " + root("root", ec, "Dorvi Root") + " && " +
                            issue("inter", "root", "Dorvi", true) + " && " +
                            issue("sign", "inter", "Dorvi Firmware", false) + " && " +
                            issue("other_org", "inter", "Harbour Devices", false) + " && " +
                            issue("inter_not_ca", "root", "Dorvi", false) + " && " +
                            issue("leaf_below", "inter_not_ca", "Dorvi Firmware", false) + " && " +
                            root("other_root", ec, "Dorvi Root") + " && " +
                            issue("other_inter", "other_root", "Dorvi", true) + " && " +
                            issue("other_sign", "other_inter", "Dorvi Firmware", false) + " && " +
                            root("rsa_root", "-newkey rsa:2048 -nodes", "Dorvi Root");
    return run_command(cmd) == 0;
}

std::string make_ota_image(const OtaPki &pki, const OtaImageSpec &spec)
{
    std::string fields;
    if (spec.with_new_ver)
        fields += std::string{1, 5} + std::string(spec.new_ver.begin(), spec.new_ver.end());
    if (!spec.model.empty())
        fields += std::string{4, static_cast<char>(spec.model.size())} + spec.model;
    fields += std::string{3, 1, 1}; // sign_type
    const size_t head_len = 28 + fields.size() + 4;
    const std::string certs = pki.pem(spec.issuer) + pki.pem(spec.signer);
    if (certs.empty())
        return {};

    std::string tag(28, '\0');
    const uint8_t magic[16] = {0, 0, 0, 0, 'K', 'O', 0xEF, 'T', 'F', 'O', 'T', 'A', 0x82, 0x56, 0x26, 0x47};
    tag.replace(0, 16, reinterpret_cast<const char *>(magic), 16);
    if (spec.bad_magic)
        tag[5] = 'X';
    put_le(tag, 16, static_cast<uint32_t>(static_cast<int>(head_len) + spec.head_len_delta), 2);
    // The signer's final newline is the separator byte.
    const size_t tag_len = head_len + certs.size() + kEcSignatureLen;
    put_le(tag, 20, static_cast<uint32_t>(static_cast<int>(tag_len) + spec.len_delta), 4);
    tag += fields + std::string(4, '\0');

    const std::string signed_part = spec.payload + tag;
    const std::string data_path = pki.dir + "/signed.bin." + std::to_string(::getpid());
    std::ofstream(data_path, std::ios::binary) << signed_part;
    std::string sig;
    // The length field was fixed before signing: sign again until the signature has that length.
    for (int tries = 0; tries < 64 && sig.size() != kEcSignatureLen; ++tries) {
        sig.clear();
        if (run_command("openssl dgst -sha256 -sign " + pki.key(spec.sign_key) + " " + data_path, &sig) != 0)
            return {};
    }
    std::remove(data_path.c_str());
    if (sig.size() != kEcSignatureLen)
        return {};
    return signed_part + certs + sig;
}

std::string ota_md5_hex(const std::string &bytes)
{
    uint8_t md5[ZEL_MD5_LEN];
    zel_crypto_md5(bytes.data(), bytes.size(), md5);
    return hex(md5, sizeof md5);
}

} // namespace zeltest
