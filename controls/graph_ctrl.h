// CGraphCtrl: the speed history as columns over a background bitmap, in
// RGB(213, 186, 17). The owner shifts samples in (0..100, a share of the
// height); drawing goes through a memory bitmap, so a redraw never shows
// a half-drawn graph. The arithmetic is in graph_rules.h.
//
// User-interface thread only.
#pragma once

#include <wx/bitmap.h>
#include <wx/window.h>

#include "controls/graph_rules.h"

class CGraphCtrl : public wxWindow {
public:
    static const wxColour kColumnColour;

    CGraphCtrl(wxWindow* parent, int id, const wxPoint& position, const wxSize& size);

    void SetBackgroundBitmap(const wxBitmap& bitmap);
    // Drops the oldest sample, appends `sample` and redraws.
    void PushSample(int sample);
    const CGraphSamples& Samples() const { return samples_; }
    // Repaints at once.
    void Redraw();

private:
    void OnPaint(wxPaintEvent& event);

    CGraphSamples samples_;
    wxBitmap background_;
};
