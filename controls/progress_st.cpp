#include "controls/progress_st.h"

#include <wx/dcbuffer.h>
#include <wx/dcmemory.h>

#include <algorithm>

#include "controls/draw_scope.h"

const wxColour CProgressST::kTextColour(239, 239, 239);

CProgressST::CProgressST(wxWindow* parent, int id, const wxPoint& position, const wxSize& size,
                         ProgressTextStyle style)
    : wxWindow(parent, id, position, size, wxBORDER_NONE | wxFULL_REPAINT_ON_RESIZE),
      style_(style),
      overFill_(kTextColour),
      overBackground_(kTextColour) {
    // Painting covers the whole bar; there is nothing to erase.
    SetBackgroundStyle(wxBG_STYLE_PAINT);
    Bind(wxEVT_PAINT, &CProgressST::OnPaint, this);
}

void CProgressST::SetRange(int lower, int upper) {
    lower_ = lower;
    upper_ = upper;
    SetPos(position_);
    Refresh();
}

void CProgressST::SetPos(int position) {
    if (lower_ <= upper_) position = std::clamp(position, lower_, upper_);
    if (position == position_) return;
    position_ = position;
    Refresh();
}

void CProgressST::SetTextFormat(const std::string& format) {
    format_ = format;
    Refresh();
}

void CProgressST::SetTextColours(const wxColour& overFill, const wxColour& overBackground) {
    overFill_ = overFill;
    overBackground_ = overBackground;
    Refresh();
}

void CProgressST::SetBitmaps(const wxBitmap& fill, const wxBitmap& background) {
    fill_ = fill;
    background_ = background;
    loaded_ = fill_.IsOk() && background_.IsOk();
    Refresh();
}

int CProgressST::FillWidth() const {
    return ProgressFillWidth(GetClientSize().x, lower_, upper_, position_);
}

std::string CProgressST::Text() const {
    return ProgressText(format_, style_, lower_, upper_, position_);
}

void CProgressST::OnPaint(wxPaintEvent&) {
    wxAutoBufferedPaintDC dc(this);
    const wxSize size = GetClientSize();
    const int fill = FillWidth();
    const wxRect filled(1, 1, fill, std::max(size.y - 2, 0));

    if (loaded_) {
        dc.SetBackground(wxBrush(GetParent() ? GetParent()->GetBackgroundColour() : *wxBLACK));
        dc.Clear();
        dc.DrawBitmap(background_, 0, 0);
        if (fill > 0) {
            // The fill bitmap is tiled over a strip as wide as the fill; its
            // first columns go to the bar.
            const int height = fill_.GetHeight();
            wxBitmap strip(fill, height);
            {
                wxMemoryDC tiles(strip);
                for (int x = 0; x < fill; x += fill_.GetWidth()) tiles.DrawBitmap(fill_, x, 0);
            }
            dc.DrawBitmap(strip, 1, 1);
        }
    } else {
        dc.SetPen(*wxTRANSPARENT_PEN);
        dc.SetBrush(wxBrush(wxColour(179, 179, 179)));
        dc.DrawRectangle(0, 0, size.x, size.y);
        if (fill > 0) {
            dc.SetBrush(wxBrush(wxColour(220, 220, 220)));
            dc.DrawRectangle(filled);
        }
    }

    const wxString text = wxString::FromUTF8(Text());
    if (text.empty()) return;
    CSelFont font(dc, GetFont());
    CSelBkMode mode(dc, wxTRANSPARENT);
    const wxSize extent = dc.GetTextExtent(text);
    const wxPoint at((size.x - extent.x) / 2, (size.y - extent.y) / 2);
    // Twice, each time clipped to one part, so the text can change colour
    // where the fill ends.
    const int split = fill > 0 ? 1 + fill : 0;
    if (split > 0) {
        wxDCClipper clip(dc, wxRect(0, 0, split, size.y));
        CSelTextColor colour(dc, overFill_);
        dc.DrawText(text, at);
    }
    if (split < size.x) {
        wxDCClipper clip(dc, wxRect(split, 0, size.x - split, size.y));
        CSelTextColor colour(dc, overBackground_);
        dc.DrawText(text, at);
    }
}
