// A window of skinned controls with known contents, for the controls'
// screen test (controls_window_test.cpp): a graph with known samples, a
// bar at 50 % with two text colours, a check box, a push button and a
// disabled one, a label over a striped parent, and two visible tooltip
// tools. It reports on stdout what its handlers saw:
//   "ready", "check <state> <slot>", "push", "disabled-push"
// The key "s" shortens the label.
#include <wx/app.h>
#include <wx/dcbuffer.h>
#include <wx/dcmemory.h>
#include <wx/frame.h>
#include <wx/image.h>

#include <cstdio>

#include "controls/button_st.h"
#include "controls/graph_ctrl.h"
#include "controls/parent_pixels.h"
#include "controls/progress_st.h"
#include "controls/tooltip_ctrl.h"
#include "controls/transparent_static2.h"

namespace {

void Say(const char* line) {
    std::printf("%s\n", line);
    std::fflush(stdout);
}

// A solid bitmap with magenta corners (transparent when masked).
wxBitmap Solid(int w, int h, const wxColour& colour, bool corners = false) {
    wxBitmap bitmap(w, h, 24);
    wxMemoryDC dc(bitmap);
    dc.SetBackground(wxBrush(colour));
    dc.Clear();
    if (corners) {
        dc.SetPen(wxPen(wxColour(255, 0, 255)));
        for (const wxPoint& p :
             {wxPoint(0, 0), wxPoint(w - 1, 0), wxPoint(0, h - 1), wxPoint(w - 1, h - 1)})
            dc.DrawPoint(p);
    }
    dc.SelectObject(wxNullBitmap);
    return bitmap;
}

// A parent painting vertical stripes, and handing them to its children.
class StripedPanel : public wxWindow, public IParentPixels {
public:
    explicit StripedPanel(wxWindow* parent)
        : wxWindow(parent, wxID_ANY, wxPoint(0, 0), wxSize(480, 320)) {
        picture_ = wxBitmap(480, 320, 24);
        wxMemoryDC dc(picture_);
        dc.SetBackground(wxBrush(wxColour(20, 24, 30)));
        dc.Clear();
        dc.SetPen(*wxTRANSPARENT_PEN);
        dc.SetBrush(wxBrush(wxColour(60, 40, 90)));
        for (int x = 0; x < 480; x += 8) dc.DrawRectangle(x, 0, 4, 320);
        dc.SelectObject(wxNullBitmap);
        SetBackgroundStyle(wxBG_STYLE_PAINT);
        Bind(wxEVT_PAINT, [this](wxPaintEvent&) {
            wxAutoBufferedPaintDC paint(this);
            paint.DrawBitmap(picture_, 0, 0);
        });
    }
    wxBitmap PixelsUnder(const wxRect& rect) const override {
        return picture_.GetSubBitmap(rect.Intersect(wxRect(picture_.GetSize())));
    }

private:
    wxBitmap picture_;
};

class HarnessFrame : public wxFrame {
public:
    HarnessFrame()
        : wxFrame(nullptr, wxID_ANY, "controls harness", wxPoint(0, 0), wxDefaultSize,
                  wxCAPTION | wxCLOSE_BOX) {
        SetClientSize(480, 320);
        auto* panel = new StripedPanel(this);

        auto* graph = new CGraphCtrl(panel, wxID_ANY, wxPoint(10, 10), wxSize(342, 69));
        graph->SetBackgroundBitmap(Solid(342, 69, wxColour(0, 0, 0)));
        for (int sample : {100, 50, 25, 1, 2}) graph->PushSample(sample);

        auto* bar = new CProgressST(panel, wxID_ANY, wxPoint(10, 100), wxSize(286, 18));
        bar->SetTextFormat("%d%%");
        bar->SetFont(wxFontInfo(wxSize(0, 14)).Bold());
        bar->SetTextColours(wxColour(255, 60, 60), wxColour(60, 255, 60));
        bar->SetBitmaps(Solid(85, 16, wxColour(30, 60, 200)), Solid(286, 18, wxColour(8, 8, 8)));
        bar->SetPos(50);

        check_ = new CButtonST(panel, 101, wxPoint(10, 140));
        check_->SetCheckBox(true);
        check_->SetDrawTransparent(true);
        check_->SetBitmaps(Solid(40, 30, wxColour(0, 200, 0), true),
                           Solid(40, 30, wxColour(200, 0, 0), true));
        check_->SizeToContent();

        auto* push = new CButtonST(panel, 102, wxPoint(100, 140));
        push->SetDrawTransparent(true);
        push->SetBitmaps(Solid(60, 30, wxColour(240, 220, 0), true),
                         Solid(60, 30, wxColour(120, 120, 120), true),
                         Solid(60, 30, wxColour(40, 40, 40), true));
        push->SizeToContent();

        auto* disabled = new CButtonST(panel, 103, wxPoint(200, 140));
        disabled->SetDrawTransparent(true);
        disabled->SetBitmaps(Solid(60, 30, wxColour(240, 220, 0), true),
                             Solid(60, 30, wxColour(120, 120, 120), true),
                             Solid(60, 30, wxColour(40, 40, 40), true));
        disabled->SizeToContent();
        disabled->Enable(false);

        label_ = new CTransparentStatic2(panel, wxID_ANY, wxPoint(10, 190), wxSize(300, 16));
        label_->SetFont(wxFontInfo(wxSize(0, 13)).Bold());
        label_->SetLabel("A rather long label text, WWWWWWWW");

        auto* toolA = new wxWindow(panel, wxID_ANY, wxPoint(330, 150), wxSize(60, 40));
        toolA->SetBackgroundColour(wxColour(0, 120, 120));
        auto* toolB = new wxWindow(panel, wxID_ANY, wxPoint(400, 150), wxSize(60, 40));
        toolB->SetBackgroundColour(wxColour(120, 0, 120));
        auto* tip = new COXToolTipCtrl(this);
        tip->SetMaxTipWidth(350);
        tip->AddTool(toolA, "tool A");
        tip->AddTool(toolB, "tool B");

        Bind(wxEVT_BUTTON, [this](wxCommandEvent& event) {
            if (event.GetId() == 101) {
                const bool first = check_->ShownSlot() == ButtonSlot::kFirst;
                Say(check_->GetCheck() ? (first ? "check 1 first" : "check 1 normal")
                                       : (first ? "check 0 first" : "check 0 normal"));
            } else if (event.GetId() == 102) {
                Say("push");
            } else if (event.GetId() == 103) {
                Say("disabled-push");
            }
        });
        Bind(wxEVT_CHAR_HOOK, [this](wxKeyEvent& event) {
            if (event.GetKeyCode() == 'S') label_->SetLabel("Short");
            event.Skip();
        });
    }

private:
    CButtonST* check_ = nullptr;
    CTransparentStatic2* label_ = nullptr;
};

class HarnessApp : public wxApp {
public:
    bool OnInit() override {
        wxInitAllImageHandlers();
        auto* frame = new HarnessFrame();
        frame->Show();
        CallAfter([] { Say("ready"); });
        return true;
    }
};

}  // namespace

wxIMPLEMENT_APP(HarnessApp);

// Under LeakSanitizer: fontconfig keeps its caches until the process ends,
// by design; those are not the controls' leaks.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}
