// SHA-256 and P-256 verification with OpenSSL's libcrypto (3.0 API: no
// deprecated EC_KEY calls).
#include "platform/crypto.h"

#include <openssl/core_names.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include <cstring>

namespace platform {

struct Sha256::State {
  EVP_MD_CTX* context = nullptr;
};

Sha256::Sha256() : state_(new State) {
  state_->context = EVP_MD_CTX_new();
  if (state_->context && EVP_DigestInit_ex(state_->context, EVP_sha256(), nullptr) != 1) {
    EVP_MD_CTX_free(state_->context);
    state_->context = nullptr;
  }
}

Sha256::~Sha256() { EVP_MD_CTX_free(state_->context); }

bool Sha256::ready() const { return state_->context != nullptr; }

bool Sha256::update(const void* data, std::size_t size) {
  return state_->context && EVP_DigestUpdate(state_->context, data, size) == 1;
}

bool Sha256::finish(unsigned char digest[kSha256Size]) {
  unsigned int length = 0;
  bool ok = state_->context && EVP_DigestFinal_ex(state_->context, digest, &length) == 1 && length == kSha256Size;
  EVP_MD_CTX_free(state_->context);
  state_->context = nullptr;
  return ok;
}

namespace {

// A key of the P-256 group from its raw public point and, when given, its
// private scalar; null when the bytes are not a point of the curve (or the
// scalar does not belong to it).
EVP_PKEY* importKey(const unsigned char raw[kP256PublicKeySize], const unsigned char* privateKey) {
  unsigned char point[1 + kP256PublicKeySize];
  point[0] = 0x04;  // uncompressed
  std::memcpy(point + 1, raw, kP256PublicKeySize);
  EVP_PKEY* key = nullptr;
  OSSL_PARAM_BLD* builder = OSSL_PARAM_BLD_new();
  OSSL_PARAM* params = nullptr;
  BIGNUM* scalar = privateKey ? BN_bin2bn(privateKey, kP256PrivateKeySize, nullptr) : nullptr;
  EVP_PKEY_CTX* context = EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr);
  bool built = builder && context && (!privateKey || scalar) &&
               OSSL_PARAM_BLD_push_utf8_string(builder, OSSL_PKEY_PARAM_GROUP_NAME, "prime256v1", 0) == 1 &&
               OSSL_PARAM_BLD_push_octet_string(builder, OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point) == 1 &&
               (!scalar || OSSL_PARAM_BLD_push_BN(builder, OSSL_PKEY_PARAM_PRIV_KEY, scalar) == 1) &&
               (params = OSSL_PARAM_BLD_to_param(builder)) != nullptr && EVP_PKEY_fromdata_init(context) == 1;
  if (built && EVP_PKEY_fromdata(context, &key, scalar ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY, params) != 1)
    key = nullptr;
  EVP_PKEY_CTX_free(context);
  OSSL_PARAM_free(params);
  OSSL_PARAM_BLD_free(builder);
  BN_clear_free(scalar);
  if (!key) return nullptr;
  // fromdata does not prove the point lies on the curve, nor that the
  // scalar belongs to it; the checks do.
  EVP_PKEY_CTX* check = EVP_PKEY_CTX_new(key, nullptr);
  bool valid = check && EVP_PKEY_public_check(check) == 1 && (!privateKey || EVP_PKEY_pairwise_check(check) == 1);
  EVP_PKEY_CTX_free(check);
  if (!valid) {
    EVP_PKEY_free(key);
    return nullptr;
  }
  return key;
}

// r || s as the DER SEQUENCE that OpenSSL verifies; empty on failure.
int derSignature(const unsigned char raw[kP256SignatureSize], unsigned char** der) {
  ECDSA_SIG* signature = ECDSA_SIG_new();
  BIGNUM* r = BN_bin2bn(raw, 32, nullptr);
  BIGNUM* s = BN_bin2bn(raw + 32, 32, nullptr);
  int length = -1;
  if (signature && r && s && ECDSA_SIG_set0(signature, r, s) == 1) {
    r = s = nullptr;  // owned by the signature now
    length = i2d_ECDSA_SIG(signature, der);
  }
  BN_free(r);
  BN_free(s);
  ECDSA_SIG_free(signature);
  return length;
}

}  // namespace

bool verifyP256(const unsigned char publicKey[kP256PublicKeySize], const unsigned char digest[kSha256Size],
                const unsigned char signature[kP256SignatureSize]) {
  EVP_PKEY* key = importKey(publicKey, nullptr);
  if (!key) return false;
  unsigned char* der = nullptr;
  int derLength = derSignature(signature, &der);
  EVP_PKEY_CTX* context = EVP_PKEY_CTX_new(key, nullptr);
  bool ok = derLength > 0 && context && EVP_PKEY_verify_init(context) == 1 &&
            EVP_PKEY_CTX_set_signature_md(context, EVP_sha256()) == 1 &&
            EVP_PKEY_verify(context, der, static_cast<std::size_t>(derLength), digest, kSha256Size) == 1;
  EVP_PKEY_CTX_free(context);
  OPENSSL_free(der);
  EVP_PKEY_free(key);
  return ok;
}

bool generateP256(unsigned char privateKey[kP256PrivateKeySize], unsigned char publicKey[kP256PublicKeySize]) {
  EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
  if (!key) return false;
  unsigned char point[1 + kP256PublicKeySize];
  std::size_t pointSize = 0;
  BIGNUM* scalar = nullptr;
  bool ok = EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point, &pointSize) == 1 &&
            pointSize == sizeof point && point[0] == 0x04 &&
            EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_PRIV_KEY, &scalar) == 1 &&
            BN_bn2binpad(scalar, privateKey, kP256PrivateKeySize) == static_cast<int>(kP256PrivateKeySize);
  if (ok) std::memcpy(publicKey, point + 1, kP256PublicKeySize);
  BN_clear_free(scalar);
  EVP_PKEY_free(key);
  return ok;
}

bool signP256(const unsigned char privateKey[kP256PrivateKeySize], const unsigned char publicKey[kP256PublicKeySize],
              const unsigned char digest[kSha256Size], unsigned char signature[kP256SignatureSize]) {
  EVP_PKEY* key = importKey(publicKey, privateKey);
  if (!key) return false;
  EVP_PKEY_CTX* context = EVP_PKEY_CTX_new(key, nullptr);
  unsigned char der[80];
  std::size_t derSize = sizeof der;
  bool ok = context && EVP_PKEY_sign_init(context) == 1 && EVP_PKEY_CTX_set_signature_md(context, EVP_sha256()) == 1 &&
            EVP_PKEY_sign(context, der, &derSize, digest, kSha256Size) == 1;
  EVP_PKEY_CTX_free(context);
  EVP_PKEY_free(key);
  if (!ok) return false;
  const unsigned char* p = der;
  ECDSA_SIG* parsed = d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(derSize));
  if (!parsed) return false;
  const BIGNUM *r = nullptr, *s = nullptr;
  ECDSA_SIG_get0(parsed, &r, &s);
  ok = BN_bn2binpad(r, signature, 32) == 32 && BN_bn2binpad(s, signature + 32, 32) == 32;
  ECDSA_SIG_free(parsed);
  return ok;
}

}  // namespace platform
