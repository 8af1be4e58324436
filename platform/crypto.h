// SHA-256 and ECDSA P-256 verification: what the launcher needs to check
// that a file came from the operator. Windows: the system's CNG in
// bcrypt.dll; Linux: OpenSSL's libcrypto. Both sides give the same answers
// for the same bytes.
//
// Raw encodings, the same on both platforms (those BCrypt takes):
//   public key  64 bytes: X then Y, each 32 bytes big-endian (the point's
//               uncompressed form without its leading 0x04);
//   signature   64 bytes: r then s, each 32 bytes big-endian;
//   private key 32 bytes: the scalar d, big-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace platform {

constexpr std::size_t kSha256Size = 32;
constexpr std::size_t kP256PublicKeySize = 64;
constexpr std::size_t kP256SignatureSize = 64;
constexpr std::size_t kP256PrivateKeySize = 32;

// An incremental SHA-256. Feed bytes with update, then read the digest once
// with finish; the hasher may not be used after that.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  // False when the system's hash could not be set up; update and finish
  // then fail too.
  bool ready() const;
  bool update(const void* data, std::size_t size);
  bool finish(unsigned char digest[kSha256Size]);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The SHA-256 of one buffer; false only when the system's hash failed.
bool sha256Of(const void* data, std::size_t size, unsigned char digest[kSha256Size]);

// True when signature is a valid ECDSA P-256 signature of the 32-byte
// digest under publicKey. A malformed key or signature (a point off the
// curve, r or s out of range) gives false, never a crash.
bool verifyP256(const unsigned char publicKey[kP256PublicKeySize], const unsigned char digest[kSha256Size],
                const unsigned char signature[kP256SignatureSize]);

// The operator's side, used by the publishing tool and by tests: a fresh key
// pair from the system's random source, and a signature of a digest. False
// when the system's call failed. Halves of two different pairs give false
// (libcrypto) or a signature that does not verify under publicKey (CNG signs
// with the private half alone).
bool generateP256(unsigned char privateKey[kP256PrivateKeySize], unsigned char publicKey[kP256PublicKeySize]);
bool signP256(const unsigned char privateKey[kP256PrivateKeySize], const unsigned char publicKey[kP256PublicKeySize],
              const unsigned char digest[kSha256Size], unsigned char signature[kP256SignatureSize]);

}  // namespace platform
