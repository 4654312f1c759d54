#pragma once
// The console's page (tools/gateway/web), built into the program so that it needs no
// files beside it and fetches nothing from elsewhere.

#include <cstddef>
#include <span>

namespace trovel::gateway {

struct WebAsset {
    const char* path; // "/index.html"
    const char* type; // its Content-Type
    const unsigned char* data;
    std::size_t size;
};

std::span<const WebAsset> WebAssets();

} // namespace trovel::gateway
