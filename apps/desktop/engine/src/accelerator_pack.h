// An optional, separately installed CUDA backend: used only when its
// manifest names exactly this engine build.
#pragma once

#include <string>

namespace quillet {

constexpr size_t packManifestMaxBytes = 8192;

// File name of the pack's CUDA backend on this platform.
extern const char packBackendFileName[];

// The manifest's "engine" text, or empty when the manifest is missing, too
// large, not a JSON object, or has no string "engine".
std::string readPackEngine(const std::string & directory);

// Logs a refusal or a failed load to standard error; never stops start-up.
void runAcceleratorPack(const std::string & directory);

} // namespace quillet
