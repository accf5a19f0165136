#include "launcher/gui/wx_support.h"

#include <wx/fontenum.h>
#include <wx/strconv.h>

namespace gui {
namespace {

// A face the machine lacks falls back to the system's sans-serif family,
// which also covers the CJK texts through the font configuration.
wxFont PixelFont(const wxString& face, int pixels, bool bold) {
    wxFontInfo info(wxSize(0, pixels));
    if (wxFontEnumerator::IsValidFacename(face))
        info.FaceName(face);
    else
        info.Family(wxFONTFAMILY_SWISS);
    if (bold) info.Bold();
    return wxFont(info);
}

}  // namespace

wxString ToWx(const std::u16string& text) {
    if (text.empty()) return wxString();
    return wxString(reinterpret_cast<const char*>(text.data()), wxMBConvUTF16(),
                    text.size() * sizeof(char16_t));
}

std::u16string FromWx(const wxString& text) {
    if (text.empty()) return std::u16string();
    const auto bytes = text.mb_str(wxMBConvUTF16());
    // The buffer ends in a two-byte terminator that is not part of the text.
    const std::size_t units = bytes.length() / sizeof(char16_t);
    return std::u16string(reinterpret_cast<const char16_t*>(bytes.data()), units);
}

wxFont LabelFont() {
    return PixelFont("Verdana", 13, true);
}

wxFont SmallFont() {
    return PixelFont(wxString::FromUTF8("돋움"), 12, false);
}

}  // namespace gui
