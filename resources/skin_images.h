// The window's pictures, embedded in the program as PNG bytes: the skin's
// bitmaps by their ids (164 to 200), the banner's own panel and the icon
// at a few sizes. Drawn by make_skin.py and icons/tlxdownloader.svg; the
// build renders and embeds them. The bytes live for the whole process.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

struct EmbeddedImage {
    const char* name;
    const unsigned char* data;
    std::size_t size;
};

// The table the build generates (embedded_images.cpp).
extern const EmbeddedImage kEmbeddedImages[];
extern const std::size_t kEmbeddedImageCount;

// The PNG of the named picture ("164", "banner-panel", "icon-48"), or an
// empty span when there is none of that name.
std::span<const unsigned char> SkinImagePng(std::string_view name);
// The PNG of skin bitmap `id`.
std::span<const unsigned char> SkinBitmapPng(int id);

// The panel shown where the banner goes, until a banner arrives.
inline constexpr char kBannerPanelImage[] = "banner-panel";
// The icon sizes embedded as "icon-<size>".
inline constexpr int kEmbeddedIconSizes[] = {16, 32, 48, 128};
