// Small bridges between the launcher's types and wxWidgets': text, colours
// and the window's two fonts.
#pragma once

#include <wx/colour.h>
#include <wx/font.h>
#include <wx/string.h>

#include <string>

#include "launcher/gui/layout.h"

namespace gui {

// The launcher's UTF-16 text and wxWidgets' strings, without loss.
wxString ToWx(const std::u16string& text);
std::u16string FromWx(const wxString& text);

inline wxColour ToWx(Rgb rgb) {
    return wxColour(rgb.r, rgb.g, rgb.b);
}

// "Verdana" 13 pixels bold: labels, bars and buttons.
wxFont LabelFont();
// "돋움" 12 pixels: the folder label and the panel's captions.
wxFont SmallFont();

}  // namespace gui
