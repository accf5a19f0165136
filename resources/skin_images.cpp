#include "resources/skin_images.h"

#include <string>

std::span<const unsigned char> SkinImagePng(std::string_view name) {
    for (std::size_t i = 0; i < kEmbeddedImageCount; ++i)
        if (name == kEmbeddedImages[i].name)
            return {kEmbeddedImages[i].data, kEmbeddedImages[i].size};
    return {};
}

std::span<const unsigned char> SkinBitmapPng(int id) {
    return SkinImagePng(std::to_string(id));
}
