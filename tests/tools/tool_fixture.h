// Building blocks for the operator tool's tests: small installations and
// manifests in a temporary directory, and what an installation holds.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "tools/vlm_patch/commands.h"

// Runs a vlm-patch command in-process ("publish", {dir, file}); returns its
// exit code. The working directory is restored afterwards.
int runTool(const std::string& command, const Args& args);

// key -> stored bytes, read through data.idx of the installation at dir.
std::map<std::uint32_t, std::string> installationContents(const std::string& dir);

// Writes a manifest storing each (key, bytes) pair from files next to it.
void writeStoreManifest(const std::string& path, const std::map<std::uint32_t, std::string>& files,
                        const std::string& extraLines = "");

// Text of a byte string, for repeated content of a given size.
std::string bytesOf(std::size_t size, char seed);
