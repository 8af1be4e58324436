// SHA-256 and P-256 verification give the same answers on both platforms:
// the vectors below were made once with the openssl command-line tool (a
// key of its own, "openssl dgst -sha256 -sign"), so the Windows build checks
// OpenSSL's signatures with CNG and the Linux build with libcrypto.
#include "platform/crypto.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<unsigned char> fromHex(const std::string& hex) {
  std::vector<unsigned char> bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return bytes;
}

std::string toHex(const unsigned char* bytes, std::size_t size) {
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  for (std::size_t i = 0; i < size; ++i) {
    hex += digits[bytes[i] >> 4];
    hex += digits[bytes[i] & 15];
  }
  return hex;
}

const std::string kMessage = "release record test vector";
const std::string kMessageDigest = "1b1fa6a3b43925c8921089fef5d3cf4e8e3ffc28a4e66c2f6ccb050bea23a57a";
const std::string kPublicKey =
    "9453d10d54b7795b5a110a08eae5e964c8ddecb5cf939526de2a3f324c5e93e0"
    "e545a61798ba8be9cbe58322bea39361acc6f16db77eb4ee8a015113f8eca082";
const std::string kSignature =
    "944d8c552eecf06669c36ba13631d6c2a8a404422bf5796a0804c89861621eff"
    "22c651e2eb228725c43f8676dc4289ce7c8a5965a872c3c404beab92b46d5a68";

TEST(Sha256, KnownDigests) {
  struct Case {
    std::string input, digest;
  } cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {kMessage, kMessageDigest},
  };
  for (const Case& c : cases) {
    unsigned char digest[platform::kSha256Size];
    ASSERT_TRUE(platform::sha256Of(c.input.data(), c.input.size(), digest));
    EXPECT_EQ(toHex(digest, sizeof digest), c.digest) << "input '" << c.input << "'";
  }
}

TEST(Sha256, PiecesGiveTheDigestOfTheWhole) {
  std::string whole(1 << 20, '\0');
  for (std::size_t i = 0; i < whole.size(); ++i) whole[i] = static_cast<char>(i * 31 >> 3);
  unsigned char once[platform::kSha256Size], pieces[platform::kSha256Size];
  ASSERT_TRUE(platform::sha256Of(whole.data(), whole.size(), once));
  platform::Sha256 hash;
  ASSERT_TRUE(hash.ready());
  for (std::size_t at = 0, step = 1; at < whole.size(); at += step, step = step * 3 + 1) {
    std::size_t size = std::min(step, whole.size() - at);
    ASSERT_TRUE(hash.update(whole.data() + at, size));
  }
  ASSERT_TRUE(hash.finish(pieces));
  EXPECT_EQ(toHex(pieces, sizeof pieces), toHex(once, sizeof once));
}

TEST(VerifyP256, AcceptsTheSignatureAndRefusesEveryChange) {
  std::vector<unsigned char> key = fromHex(kPublicKey), digest = fromHex(kMessageDigest),
                             signature = fromHex(kSignature);
  ASSERT_TRUE(platform::verifyP256(key.data(), digest.data(), signature.data()));

  struct Case {
    const char* what;
    std::vector<unsigned char>* bytes;
    std::size_t index;
    unsigned char flip;
  } cases[] = {
      {"a bit of the digest", &digest, 0, 0x01},     {"the last bit of the digest", &digest, 31, 0x80},
      {"a bit of r", &signature, 5, 0x10},           {"a bit of s", &signature, 63, 0x01},
      {"a bit of X (off the curve)", &key, 7, 0x04}, {"a bit of Y (off the curve)", &key, 40, 0x02},
  };
  for (const Case& c : cases) {
    (*c.bytes)[c.index] ^= c.flip;
    EXPECT_FALSE(platform::verifyP256(key.data(), digest.data(), signature.data())) << c.what;
    (*c.bytes)[c.index] ^= c.flip;
  }
}

TEST(VerifyP256, RefusesDegenerateValues) {
  std::vector<unsigned char> key = fromHex(kPublicKey), digest = fromHex(kMessageDigest);
  std::vector<unsigned char> zero(platform::kP256SignatureSize, 0), ones(platform::kP256SignatureSize, 0xFF);
  EXPECT_FALSE(platform::verifyP256(key.data(), digest.data(), zero.data())) << "r = s = 0";
  EXPECT_FALSE(platform::verifyP256(key.data(), digest.data(), ones.data())) << "r, s above the group order";
  std::vector<unsigned char> noKey(platform::kP256PublicKeySize, 0), signature = fromHex(kSignature);
  EXPECT_FALSE(platform::verifyP256(noKey.data(), digest.data(), signature.data())) << "the point (0, 0)";
}

}  // namespace

namespace {

TEST(SignP256, SignaturesOfAFreshKeyVerifyAndBindTheirDigest) {
  unsigned char privateKey[platform::kP256PrivateKeySize], publicKey[platform::kP256PublicKeySize];
  ASSERT_TRUE(platform::generateP256(privateKey, publicKey));
  unsigned char digest[platform::kSha256Size], signature[platform::kP256SignatureSize];
  ASSERT_TRUE(platform::sha256Of("one release", 11, digest));
  ASSERT_TRUE(platform::signP256(privateKey, publicKey, digest, signature));
  EXPECT_TRUE(platform::verifyP256(publicKey, digest, signature));
  digest[3] ^= 0x20;
  EXPECT_FALSE(platform::verifyP256(publicKey, digest, signature)) << "another digest";
  digest[3] ^= 0x20;

  unsigned char otherPrivate[platform::kP256PrivateKeySize], otherPublic[platform::kP256PublicKeySize];
  ASSERT_TRUE(platform::generateP256(otherPrivate, otherPublic));
  EXPECT_FALSE(platform::verifyP256(otherPublic, digest, signature)) << "another key";
  // A private key of another pair: libcrypto refuses the pair, CNG signs with
  // the private half alone; either way nothing verifies under publicKey.
  bool signedWithOther = platform::signP256(otherPrivate, publicKey, digest, signature);
  EXPECT_FALSE(signedWithOther && platform::verifyP256(publicKey, digest, signature))
      << "a private key of another pair";
}

}  // namespace
