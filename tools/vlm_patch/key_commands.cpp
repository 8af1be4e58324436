// vlm-patch key generate: the operator's release signing key.
#include <cstdio>

#include "platform/secret_file.h"
#include "tools/vlm_patch/commands.h"
#include "tools/vlm_patch/release_files.h"

namespace vlmpatch {

int runKeyGenerate(const Args& args) {
  if (args.size() != 1) return fail(kExitUsage, "usage: vlm-patch key generate KEYFILE");
  vlmpatch::SigningKey key;
  if (!platform::generateP256(key.secret, key.publicKey.data()))
    return fail(kExitFailed, "the system could not make a key");
  std::string why;
  bool written = platform::writeNewSecretFile(args[0].c_str(), vlmpatch::formatSigningKey(key), &why);
  // The secret lives on in the file only.
  volatile unsigned char* secret = key.secret;
  for (std::size_t i = 0; i < sizeof key.secret; ++i) secret[i] = 0;
  if (!written) return fail(kExitFailed, "cannot create the key file " + why);
  update::KeyId id = update::keyIdOf(key.publicKey);
  std::printf("key file: %s (readable by you alone; keep it off the patch server)\n", args[0].c_str());
  std::printf("key id:   %s\n", update::toHex(id.data(), id.size()).c_str());
  std::printf("public key, for -DVLM_TRUSTED_KEYS=...:\n%s\n",
              update::toHex(key.publicKey.data(), key.publicKey.size()).c_str());
  return kExitOk;
}

}  // namespace vlmpatch
