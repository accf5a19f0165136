// The modal dialogs of the main window: message boxes, the folder browser
// and the resume question. Each runs its own nested event loop, so the
// messages posted to the main window keep arriving while it is open.
#pragma once

#include <wx/dialog.h>

#include <optional>
#include <string>

#include "launcher/window_system.h"

class wxCheckBox;
class wxGenericDirCtrl;
class wxStaticText;
class CResumeDlg;

namespace gui {

MessageBoxAnswer ShowMessageBox(wxWindow* parent, const std::u16string& text,
                                const std::u16string& caption, MessageBoxButtons buttons,
                                MessageBoxIcon icon);

// A tree of folders with an instruction text above it that follows the
// selection (the request's selectionText), like the shell's folder
// browser. The user can also make a new folder below the selected one.
class FolderDialog : public wxDialog {
public:
    FolderDialog(wxWindow* parent, const FolderBrowseRequest& request);

    // The chosen folder, or nothing when the user cancelled.
    std::optional<std::u16string> Run();

private:
    void OnSelectionChanged();
    void OnNewFolder();

    const FolderBrowseRequest& request_;
    wxStaticText* instruction_ = nullptr;
    wxGenericDirCtrl* tree_ = nullptr;
};

// The resume question: two lines of text, the "apply to all files" box and
// the two answer buttons. The buttons answer through OnConfirm / OnCancel
// and the title bar's close through OnClose, each with the box's state;
// Escape, and Enter away from the buttons, end it without an answer, so the
// prompt keeps its initial answers whatever the box shows.
class ResumeDialog : public wxDialog {
public:
    ResumeDialog(wxWindow* parent, CResumeDlg& prompt);

    void Run();

private:
    int CheckState() const;
    void OnCharHook(wxKeyEvent& event);

    CResumeDlg& prompt_;
    wxCheckBox* applyToAll_ = nullptr;
    // Set once the dialog is ending, so the close that follows EndModal
    // is not taken for another answer.
    bool ending_ = false;
};

}  // namespace gui
