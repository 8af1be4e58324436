#include "tools/vlm_patch/manifest.h"

#include <gtest/gtest.h>

namespace vlmpatch {
namespace {

struct BadManifest {
  const char* text;
  const char* error;  // a part of the message
};

TEST(Manifest, ReadsItemsVersionAndSeed) {
  Manifest m;
  std::string error;
  ASSERT_TRUE(parseManifest("# textures\nversion 12\nseed 0x35\n\nstore 0x00012345 art/a.tex\r\nstore 7 \"b c.bin\"\n",
                            &m, &error))
      << error;
  EXPECT_EQ(m.type, 1);
  EXPECT_TRUE(m.hasVersion);
  EXPECT_EQ(m.version, 12);
  EXPECT_TRUE(m.hasSeed);
  EXPECT_EQ(m.seed, 0x35);
  ASSERT_EQ(m.items.size(), 2u);
  EXPECT_EQ(m.items[0].key, 0x12345u);
  EXPECT_EQ(m.items[0].source, "art/a.tex");
  EXPECT_EQ(m.items[1].key, 7u);
  EXPECT_EQ(m.items[1].source, "b c.bin");

  ASSERT_TRUE(parseManifest("write \"ui\\new font.fnt\" f.fnt\n", &m, &error)) << error;
  EXPECT_EQ(m.type, 3);
  EXPECT_EQ(m.items[0].target, "ui\\new font.fnt");
  EXPECT_FALSE(m.hasVersion);
  ASSERT_TRUE(parseManifest("delete old\\intro.bik", &m, &error)) << error;
  EXPECT_EQ(m.type, 4);
  EXPECT_EQ(m.items[0].target, "old\\intro.bik");
}

TEST(Manifest, RejectsWhatItCannotBuildNamingTheLine) {
  const BadManifest cases[] = {
      {"store 1 a\nwrite b c\n", "line 2: a package holds items of one kind only"},
      {"store 0x100000000 a\n", "line 1: key"},
      {"store -1 a\n", "line 1: key"},
      {"store 1\n", "line 1: store takes two words"},
      {"delete a b\n", "line 1: delete takes one path"},
      {"version 65536\n", "line 1: version takes one number from 0 to 65535"},
      {"seed 256\n", "line 1: seed takes one number from 0 to 255"},
      {"copy a b\n", "line 1: unknown word 'copy'"},
      {"write ..\\outside.dll f\n", "line 1: target '..\\outside.dll' does not stay inside the installation"},
      {"delete C:/Windows/x\n", "line 1: target 'C:/Windows/x' does not stay inside the installation"},
      {"write \"sub/CON\" f\n", "line 1: target 'sub/CON' does not stay inside the installation"},
      {"\nwrite \"a b\n", "line 2: unclosed double quote"},
  };
  for (const BadManifest& c : cases) {
    Manifest m;
    std::string error;
    EXPECT_FALSE(parseManifest(c.text, &m, &error)) << c.text;
    EXPECT_NE(error.find(c.error), std::string::npos) << c.text << " gave: " << error;
  }
}

}  // namespace
}  // namespace vlmpatch
