#include "launcher/gui/dialogs.h"

#include <wx/button.h>
#include <wx/checkbox.h>
#include <wx/dirctrl.h>
#include <wx/filefn.h>
#include <wx/filename.h>
#include <wx/msgdlg.h>
#include <wx/sizer.h>
#include <wx/stattext.h>
#include <wx/stdpaths.h>
#include <wx/textdlg.h>
#include <wx/utils.h>

#include "launcher/gui/wx_support.h"
#include "launcher/resume_prompt.h"

namespace gui {

MessageBoxAnswer ShowMessageBox(wxWindow* parent, const std::u16string& text,
                                const std::u16string& caption, MessageBoxButtons buttons,
                                MessageBoxIcon icon) {
    long style = buttons == MessageBoxButtons::kYesNo ? wxYES_NO : wxOK;
    style |= icon == MessageBoxIcon::kExclamation ? wxICON_EXCLAMATION : wxICON_NONE;
    wxMessageDialog box(parent, ToWx(text), ToWx(caption), style);
    // The buttons speak the language of the texts.
    box.SetOKLabel(wxString::FromUTF8("確定"));
    box.SetYesNoLabels(wxString::FromUTF8("是"), wxString::FromUTF8("否"));
    const int answer = box.ShowModal();
    if (buttons == MessageBoxButtons::kOk) return MessageBoxAnswer::kOk;
    // A Yes/No box closed without an answer counts as No.
    return answer == wxID_YES ? MessageBoxAnswer::kYes : MessageBoxAnswer::kNo;
}

namespace {

constexpr int kNewFolderId = wxID_HIGHEST + 1;

// The folder tree with its roots named in the program's language: the
// toolkit's own names come from its message catalog, which a player's
// machine may not have, and the rest of the browser speaks Chinese.
class LocalizedDirCtrl final : public wxGenericDirCtrl {
public:
    void SetupSections() override {
        const wxString home = wxGetHomeDir();
        if (!home.empty() && wxDirExists(home))
            AddSection(home, wxString::FromUTF8("主資料夾"), wxFileIconsTable::folder);
        const wxString desktop = wxStandardPaths::Get().GetUserDir(wxStandardPaths::Dir_Desktop);
        if (!desktop.empty() && desktop != home && wxDirExists(desktop))
            AddSection(desktop, wxString::FromUTF8("桌面"), wxFileIconsTable::folder);
        AddSection("/", wxString::FromUTF8("電腦 (/)"), wxFileIconsTable::computer);
    }
};

}  // namespace

FolderDialog::FolderDialog(wxWindow* parent, const FolderBrowseRequest& request)
    : wxDialog(parent, wxID_ANY, wxString::FromUTF8("瀏覽資料夾"), wxDefaultPosition,
               wxSize(420, 480), wxDEFAULT_DIALOG_STYLE | wxRESIZE_BORDER),
      request_(request) {
    auto* column = new wxBoxSizer(wxVERTICAL);
    instruction_ = new wxStaticText(this, wxID_ANY, ToWx(request.title));
    column->Add(instruction_, 0, wxEXPAND | wxALL, 10);

    // The tree finds a folder only by its name without the final separator.
    wxString initial = ToWx(request.initialFolder);
    while (initial.length() > 1 && initial.EndsWith("/")) initial.RemoveLast();
    // Made in two steps, so that its own roots are the ones the tree gets.
    auto* tree = new LocalizedDirCtrl();
    tree->Create(this, wxID_ANY, wxDirExists(initial) ? initial : wxString(), wxDefaultPosition,
                 wxSize(400, 320), wxDIRCTRL_DIR_ONLY);
    tree_ = tree;
    column->Add(tree_, 1, wxEXPAND | wxLEFT | wxRIGHT, 10);

    auto* buttons = new wxBoxSizer(wxHORIZONTAL);
    buttons->Add(new wxButton(this, kNewFolderId, wxString::FromUTF8("新增資料夾")), 0);
    buttons->AddStretchSpacer();
    buttons->Add(new wxButton(this, wxID_OK, wxString::FromUTF8("確定")), 0, wxRIGHT, 8);
    buttons->Add(new wxButton(this, wxID_CANCEL, wxString::FromUTF8("取消")), 0);
    column->Add(buttons, 0, wxEXPAND | wxALL, 10);
    SetSizer(column);
    SetMinSize(wxSize(360, 360));
    SetSize(wxSize(420, 480));
    CentreOnParent();

    Bind(wxEVT_DIRCTRL_SELECTIONCHANGED, [this](wxTreeEvent&) { OnSelectionChanged(); });
    Bind(
        wxEVT_BUTTON, [this](wxCommandEvent&) { OnNewFolder(); }, kNewFolderId);
    // The browser tells the free space of the folder it opens on as well.
    if (!tree_->GetPath().empty()) OnSelectionChanged();
}

std::optional<std::u16string> FolderDialog::Run() {
    if (ShowModal() != wxID_OK) return std::nullopt;
    // A selection that is not a folder of the file system yields an empty
    // answer, which the caller treats as no choice.
    return FromWx(tree_->GetPath());
}

void FolderDialog::OnSelectionChanged() {
    const wxString path = tree_->GetPath();
    if (path.empty() || !request_.selectionText) return;
    instruction_->SetLabelText(ToWx(request_.selectionText(FromWx(path))));
    // The text grows from one line to two on the first selection.
    Layout();
}

void FolderDialog::OnNewFolder() {
    const wxString parent = tree_->GetPath();
    if (parent.empty()) return;
    wxTextEntryDialog ask(this, wxString::FromUTF8("新資料夾的名稱："),
                          wxString::FromUTF8("新增資料夾"), wxString::FromUTF8("新資料夾"));
    for (const auto& [id, label] : {std::pair{wxID_OK, "確定"}, std::pair{wxID_CANCEL, "取消"}})
        if (wxWindow* button = ask.FindWindow(id)) button->SetLabel(wxString::FromUTF8(label));
    if (ask.ShowModal() != wxID_OK) return;
    const wxString name = ask.GetValue().Trim().Trim(false);
    if (name.empty() || name.Contains("/") || name == "." || name == "..") {
        wxMessageBox(wxString::FromUTF8("資料夾名稱無效。"), GetTitle(), wxOK | wxICON_EXCLAMATION,
                     this);
        return;
    }
    const wxString path = wxFileName(parent, name).GetFullPath();
    if (!wxDirExists(path) && !wxMkdir(path)) {
        wxMessageBox(wxString::FromUTF8("無法建立資料夾。"), GetTitle(), wxOK | wxICON_EXCLAMATION,
                     this);
        return;
    }
    tree_->ReCreateTree();
    tree_->ExpandPath(path);
    OnSelectionChanged();
}

ResumeDialog::ResumeDialog(wxWindow* parent, CResumeDlg& prompt)
    : wxDialog(parent, wxID_ANY, ToWx(CResumeDlg::kCaption), wxDefaultPosition, wxDefaultSize,
               wxCAPTION),
      prompt_(prompt) {
    auto* column = new wxBoxSizer(wxVERTICAL);
    column->Add(new wxStaticText(this, wxID_ANY, ToWx(CResumeDlg::kFoundText)), 0,
                wxALIGN_CENTER_HORIZONTAL | wxLEFT | wxRIGHT | wxTOP, 16);
    column->Add(new wxStaticText(this, wxID_ANY, ToWx(CResumeDlg::kQuestionText)), 0,
                wxALIGN_CENTER_HORIZONTAL | wxLEFT | wxRIGHT | wxTOP, 6);
    applyToAll_ = new wxCheckBox(this, wxID_ANY, ToWx(CResumeDlg::kApplyToAllText));
    applyToAll_->SetValue(prompt_.InitialApplyToAllChecked());
    column->Add(applyToAll_, 0, wxALIGN_CENTER_HORIZONTAL | wxTOP, 12);

    auto* confirm = new wxButton(this, wxID_ANY, ToWx(CResumeDlg::kConfirmText));
    auto* cancel = new wxButton(this, wxID_ANY, ToWx(CResumeDlg::kCancelText));
    auto* buttons = new wxBoxSizer(wxHORIZONTAL);
    buttons->Add(confirm, 0, wxRIGHT, 16);
    buttons->Add(cancel, 0);
    column->Add(buttons, 0, wxALIGN_CENTER_HORIZONTAL | wxALL, 16);
    SetSizerAndFit(column);
    CentreOnParent();
    // The check box holds the first focus, as the first stop of the tab order.
    applyToAll_->SetFocus();

    confirm->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) {
        ending_ = true;
        prompt_.OnConfirm(CheckState());
        EndModal(wxID_OK);
    });
    cancel->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) {
        ending_ = true;
        prompt_.OnCancel(CheckState());
        EndModal(wxID_CANCEL);
    });
    Bind(wxEVT_CLOSE_WINDOW, [this](wxCloseEvent&) {
        if (!ending_) prompt_.OnClose(CheckState());
        ending_ = true;
        EndModal(wxID_CANCEL);
    });
    Bind(wxEVT_CHAR_HOOK, &ResumeDialog::OnCharHook, this);
}

void ResumeDialog::Run() {
    ShowModal();
}

int ResumeDialog::CheckState() const {
    return applyToAll_->GetValue() ? 1 : 0;
}

void ResumeDialog::OnCharHook(wxKeyEvent& event) {
    const int key = event.GetKeyCode();
    const bool enter = key == WXK_RETURN || key == WXK_NUMPAD_ENTER;
    // Enter on a focused button presses that button.
    if ((enter && wxDynamicCast(FindFocus(), wxButton)) || (!enter && key != WXK_ESCAPE)) {
        event.Skip();
        return;
    }
    ending_ = true;
    EndModal(wxID_CANCEL);
}

}  // namespace gui
