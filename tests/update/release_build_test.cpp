// versions.cpp as a release build compiles it (without VLM_TEST_HOOKS): the
// environment cannot point the elevated launcher at another patch server.
#include <gtest/gtest.h>

#include <cstdlib>

#include "update/versions.h"

namespace {

TEST(ReleaseBuild, IgnoresThePatchServerInTheEnvironment) {
#if defined(_WIN32)
  _putenv_s("VLM_PATCH_BASE_URL", "http://attacker.invalid/vlm/patch");
#else
  setenv("VLM_PATCH_BASE_URL", "http://attacker.invalid/vlm/patch", 1);
#endif
  EXPECT_EQ(update::patchBaseUrls(), update::baseUrlsOfPatchHosts(VLM_PATCH_HOST));
  EXPECT_EQ(update::patchBaseUrl(), update::baseUrlsOfPatchHosts(VLM_PATCH_HOST)[0]);
  EXPECT_EQ(update::patchListUrl(), update::baseUrlsOfPatchHosts(VLM_PATCH_HOST)[0] + "/patch.hpl");
}

}  // namespace
