#include "controls/graph_ctrl.h"

#include <wx/dcbuffer.h>

const wxColour CGraphCtrl::kColumnColour(213, 186, 17);

CGraphCtrl::CGraphCtrl(wxWindow* parent, int id, const wxPoint& position, const wxSize& size)
    : wxWindow(parent, id, position, size, wxBORDER_NONE | wxFULL_REPAINT_ON_RESIZE) {
    SetBackgroundStyle(wxBG_STYLE_PAINT);
    Bind(wxEVT_PAINT, &CGraphCtrl::OnPaint, this);
}

void CGraphCtrl::SetBackgroundBitmap(const wxBitmap& bitmap) {
    background_ = bitmap;
    Refresh();
}

void CGraphCtrl::PushSample(int sample) {
    samples_.Push(sample);
    Redraw();
}

void CGraphCtrl::Redraw() {
    Refresh(false);
    Update();
}

void CGraphCtrl::OnPaint(wxPaintEvent&) {
    // Buffered always, not only where the platform lacks double buffering:
    // the columns are drawn over the background, never on the screen.
    wxBufferedPaintDC dc(this);
    const wxSize size = GetClientSize();
    dc.SetBackground(wxBrush(GetParent() ? GetParent()->GetBackgroundColour() : *wxBLACK));
    dc.Clear();
    if (background_.IsOk()) dc.DrawBitmap(background_, 0, 0);

    dc.SetPen(*wxTRANSPARENT_PEN);
    dc.SetBrush(wxBrush(kColumnColour));
    for (int i = 0; i < kGraphSampleCount; ++i) {
        const int height = GraphColumnHeight(samples_.At(i), size.y);
        if (height > 0)
            dc.DrawRectangle(GraphColumnX(i, size.x), size.y - height, kGraphColumnWidth, height);
    }
}
