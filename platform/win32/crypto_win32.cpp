// SHA-256 and P-256 verification with the system's CNG (bcrypt.dll). The
// hash object's memory is ours (BCRYPT_OBJECT_LENGTH), as Windows Vista and 7
// require; later versions accept it too.
#include "platform/crypto.h"

#include <windows.h>
// bcrypt.h needs the types of windows.h.
#include <bcrypt.h>

#include <cstring>
#include <vector>

namespace platform {

namespace {

bool succeeded(NTSTATUS status) { return status >= 0; }

// An algorithm provider that closes itself.
struct Provider {
  BCRYPT_ALG_HANDLE handle = nullptr;
  explicit Provider(LPCWSTR algorithm) {
    if (!succeeded(BCryptOpenAlgorithmProvider(&handle, algorithm, nullptr, 0))) handle = nullptr;
  }
  ~Provider() {
    if (handle) BCryptCloseAlgorithmProvider(handle, 0);
  }
  Provider(const Provider&) = delete;
  Provider& operator=(const Provider&) = delete;
};

}  // namespace

struct Sha256::State {
  Provider provider{BCRYPT_SHA256_ALGORITHM};
  std::vector<UCHAR> object;
  BCRYPT_HASH_HANDLE hash = nullptr;
};

Sha256::Sha256() : state_(new State) {
  if (!state_->provider.handle) return;
  DWORD objectLength = 0, got = 0;
  if (!succeeded(BCryptGetProperty(state_->provider.handle, BCRYPT_OBJECT_LENGTH,
                                   reinterpret_cast<PUCHAR>(&objectLength), sizeof objectLength, &got, 0)))
    return;
  state_->object.resize(objectLength);
  if (!succeeded(
          BCryptCreateHash(state_->provider.handle, &state_->hash, state_->object.data(), objectLength, nullptr, 0, 0)))
    state_->hash = nullptr;
}

Sha256::~Sha256() {
  if (state_->hash) BCryptDestroyHash(state_->hash);
}

bool Sha256::ready() const { return state_->hash != nullptr; }

bool Sha256::update(const void* data, std::size_t size) {
  if (!state_->hash) return false;
  const UCHAR* p = static_cast<const UCHAR*>(data);
  // BCryptHashData takes a 32-bit length.
  while (size > 0) {
    ULONG chunk = size > 0x40000000u ? 0x40000000u : static_cast<ULONG>(size);
    if (!succeeded(BCryptHashData(state_->hash, const_cast<PUCHAR>(p), chunk, 0))) return false;
    p += chunk;
    size -= chunk;
  }
  return true;
}

bool Sha256::finish(unsigned char digest[kSha256Size]) {
  if (!state_->hash) return false;
  bool ok = succeeded(BCryptFinishHash(state_->hash, digest, kSha256Size, 0));
  BCryptDestroyHash(state_->hash);
  state_->hash = nullptr;
  return ok;
}

namespace {

// A key handle that destroys itself.
struct Key {
  BCRYPT_KEY_HANDLE handle = nullptr;
  Key() = default;
  ~Key() {
    if (handle) BCryptDestroyKey(handle);
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
};

}  // namespace

bool verifyP256(const unsigned char publicKey[kP256PublicKeySize], const unsigned char digest[kSha256Size],
                const unsigned char signature[kP256SignatureSize]) {
  Provider provider(BCRYPT_ECDSA_P256_ALGORITHM);
  if (!provider.handle) return false;
  // BCRYPT_ECCKEY_BLOB header, then X and Y.
  unsigned char blob[sizeof(BCRYPT_ECCKEY_BLOB) + kP256PublicKeySize];
  BCRYPT_ECCKEY_BLOB header = {BCRYPT_ECDSA_PUBLIC_P256_MAGIC, 32};
  std::memcpy(blob, &header, sizeof header);
  std::memcpy(blob + sizeof header, publicKey, kP256PublicKeySize);
  Key key;
  if (!succeeded(
          BCryptImportKeyPair(provider.handle, nullptr, BCRYPT_ECCPUBLIC_BLOB, &key.handle, blob, sizeof blob, 0)))
    return false;
  NTSTATUS status = BCryptVerifySignature(key.handle, nullptr, const_cast<PUCHAR>(digest), kSha256Size,
                                          const_cast<PUCHAR>(signature), kP256SignatureSize, 0);
  return status == 0;  // STATUS_SUCCESS; STATUS_INVALID_SIGNATURE otherwise
}

// BCRYPT_ECCPRIVATE_BLOB: the header, X, Y, then d.
constexpr std::size_t kPrivateBlobSize = sizeof(BCRYPT_ECCKEY_BLOB) + kP256PublicKeySize + kP256PrivateKeySize;

bool generateP256(unsigned char privateKey[kP256PrivateKeySize], unsigned char publicKey[kP256PublicKeySize]) {
  Provider provider(BCRYPT_ECDSA_P256_ALGORITHM);
  Key key;
  unsigned char blob[kPrivateBlobSize];
  ULONG got = 0;
  bool ok = provider.handle && succeeded(BCryptGenerateKeyPair(provider.handle, &key.handle, 256, 0)) &&
            succeeded(BCryptFinalizeKeyPair(key.handle, 0)) &&
            succeeded(BCryptExportKey(key.handle, nullptr, BCRYPT_ECCPRIVATE_BLOB, blob, sizeof blob, &got, 0)) &&
            got == sizeof blob;
  if (!ok) return false;
  std::memcpy(publicKey, blob + sizeof(BCRYPT_ECCKEY_BLOB), kP256PublicKeySize);
  std::memcpy(privateKey, blob + sizeof(BCRYPT_ECCKEY_BLOB) + kP256PublicKeySize, kP256PrivateKeySize);
  SecureZeroMemory(blob, sizeof blob);
  return true;
}

bool signP256(const unsigned char privateKey[kP256PrivateKeySize], const unsigned char publicKey[kP256PublicKeySize],
              const unsigned char digest[kSha256Size], unsigned char signature[kP256SignatureSize]) {
  Provider provider(BCRYPT_ECDSA_P256_ALGORITHM);
  if (!provider.handle) return false;
  unsigned char blob[kPrivateBlobSize];
  BCRYPT_ECCKEY_BLOB header = {BCRYPT_ECDSA_PRIVATE_P256_MAGIC, 32};
  std::memcpy(blob, &header, sizeof header);
  std::memcpy(blob + sizeof header, publicKey, kP256PublicKeySize);
  std::memcpy(blob + sizeof header + kP256PublicKeySize, privateKey, kP256PrivateKeySize);
  Key key;
  ULONG got = 0;
  bool ok = succeeded(BCryptImportKeyPair(provider.handle, nullptr, BCRYPT_ECCPRIVATE_BLOB, &key.handle, blob,
                                          sizeof blob, 0)) &&
            succeeded(BCryptSignHash(key.handle, nullptr, const_cast<PUCHAR>(digest), kSha256Size, signature,
                                     kP256SignatureSize, &got, 0)) &&
            got == kP256SignatureSize;
  SecureZeroMemory(blob, sizeof blob);
  return ok;
}

}  // namespace platform
