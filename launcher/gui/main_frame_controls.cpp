// MainFrame's controls: the skinned controls at their places with their
// bitmaps, and the banner once its bytes have come.
#include <wx/animate.h>
#include <wx/generic/animate.h>
#include <wx/log.h>
#include <wx/mstream.h>

#include <algorithm>

#include "controls/button_st.h"
#include "controls/graph_ctrl.h"
#include "controls/progress_st.h"
#include "controls/tooltip_ctrl.h"
#include "controls/transparent_static2.h"
#include "launcher/gui/layout.h"
#include "launcher/gui/main_frame.h"
#include "launcher/gui/skin.h"
#include "launcher/gui/wx_support.h"

namespace gui {
namespace {

wxPoint At(const Rect& rect) {
    return wxPoint(rect.x, rect.y);
}

wxSize SizeOf(const Rect& rect) {
    return wxSize(rect.width, rect.height);
}

}  // namespace

void MainFrame::BuildControls() {
    panel_ = new SkinPanel(this);

    // The banner covers the skin's own panel only once a picture has come.
    bannerView_ =
        new wxGenericAnimationCtrl(panel_, kBannerBrowser, wxNullAnimation, At(kBannerRect),
                                   SizeOf(kBannerRect), wxAC_NO_AUTORESIZE | wxBORDER_NONE);
    bannerView_->SetBackgroundColour(ToWx(colour::kBackground));
    bannerView_->Hide();

    const wxFont labelFont = LabelFont();
    const std::pair<int, Rect> labelRects[] = {
        {kFileLabel, kFileLabelRect},           {kReceivedLabel, kReceivedLabelRect},
        {kTotalLabel, kTotalLabelRect},         {kElapsedLabel, kElapsedLabelRect},
        {kRemainingLabel, kRemainingLabelRect}, {kSpeedStatusLabel, kSpeedLabelRect},
    };
    for (const auto& [id, rect] : labelRects) {
        // The file's line keeps its "[n/m]" when the name is long.
        labels_[id] = new CTransparentStatic2(
            panel_, id, At(rect), SizeOf(rect),
            id == kFileLabel ? CTransparentStatic2::kMiddleEllipsis : CTransparentStatic2::kPlain);
        labels_[id]->SetFont(labelFont);
    }
    labels_[kFolderLabel] =
        new CTransparentStatic2(panel_, kFolderLabel, At(kFolderLabelRect),
                                SizeOf(kFolderLabelRect), CTransparentStatic2::kEndEllipsis);
    labels_[kFolderLabel]->SetFont(SmallFont());

    graph_ = new CGraphCtrl(panel_, kSpeedGraph, At(kSpeedGraphRect), SizeOf(kSpeedGraphRect));
    graph_->SetBackgroundBitmap(SkinBitmap(kGraphBitmap));
    for (const auto& [id, rect] : {std::pair{kCurrentFileBar, kCurrentFileBarRect},
                                   std::pair{kOverallBar, kOverallBarRect}}) {
        CProgressST* bar = new CProgressST(panel_, id, At(rect), SizeOf(rect));
        bar->SetRange(0, 100);
        bar->SetPos(0);
        bar->SetTextFormat("%d%%");
        bar->SetFont(labelFont);
        bar->SetBitmaps(SkinBitmap(kBarFillBitmap), SkinBitmap(kBarBackgroundBitmap));
        bars_[id] = bar;
    }

    // Created in tab order: Start first, as the window's default button.
    const std::pair<int, Rect> buttonRects[] = {
        {kStartStopButton, kStartStopButtonRect},
        {kRunButton, kRunButtonRect},
        {kCloseButton, kCloseButtonRect},
        {kFolderButton, kFolderButtonRect},
    };
    for (const auto& [id, rect] : buttonRects) {
        CButtonST* button = new CButtonST(panel_, id, At(rect), SizeOf(rect));
        button->SetDrawTransparent(true);
        button->SetDrawBorder(false);
        buttons_[id] = button;
    }
    buttons_[kStartStopButton]->SetDefault(true);
    SetButtonBitmaps(buttons_[kStartStopButton], kStartBitmaps);
    SetButtonBitmaps(buttons_[kRunButton], kRunBitmaps);
    SetButtonBitmaps(buttons_[kCloseButton], kCloseBitmaps);
    SetButtonBitmaps(buttons_[kFolderButton], kFolderBitmaps);
    // Nothing may be run before a download has finished.
    buttons_[kRunButton]->Enable(false);

    // The consent box is part of the window but nothing shows it here.
    consent_ = new CButtonST(panel_, kConsentCheckBox, At(kConsentCheckBoxRect),
                             SizeOf(kConsentCheckBoxRect));
    consent_->SetCheckBox(true);
    consent_->SetDrawTransparent(true);
    consent_->SetBitmaps(SkinBitmap(kConsentTickedBitmap), SkinBitmap(kConsentClearBitmap));
    consent_->SizeToContent();
    consent_->SetCheck(1);
    consent_->Hide();

    tooltip_ = new COXToolTipCtrl(this);
    tooltip_->SetMaxTipWidth(350);
    tooltip_->AddTool(consent_, ToWx(CTLXDownloaderDlg::kConsentTooltip));
}

void MainFrame::SetButtonBitmaps(CButtonST* button, const ButtonBitmaps& bitmaps) {
    button->SetBitmaps(SkinBitmap(bitmaps.over), SkinBitmap(bitmaps.normal),
                       SkinBitmap(bitmaps.disabled));
    button->SizeToContent();
}

void MainFrame::OnBannerArrived(wxThreadEvent& event) {
    if (finished_) return;
    const std::string bytes = CBannerFetch::BytesOf(event);
    // A picture the toolkit cannot read leaves the skin's panel, quietly.
    wxLogNull quiet;
    wxMemoryInputStream stream(bytes.data(), bytes.size());
    wxAnimation animation = wxGenericAnimationCtrl::CreateCompatibleAnimation();
    if (!animation.Load(stream) || !animation.IsOk() || animation.GetFrameCount() == 0) return;
    // Anchored at the open part's corner; a larger banner is cut at its edges.
    const wxSize size = animation.GetSize();
    bannerView_->SetSize(kBannerRect.x, kBannerRect.y, std::min(size.x, kBannerRect.width),
                         std::min(size.y, kBannerRect.height));
    bannerView_->SetAnimation(animation);
    bannerView_->Show();
    bannerView_->Play();
}

}  // namespace gui
