// CResumeDlg: what the resume question asks and how the user's clicks turn
// into the two answers handed to AnswerResume. A front end shows it as a
// small modal dialog with the texts below (a static line each for
// kFoundText and kQuestionText, a check box kApplyToAllText ticked when
// InitialApplyToAllChecked(), buttons kConfirmText and kCancelText) and
// calls the handlers; afterwards the main window reads both answers.
#pragma once

class CResumeDlg {
public:
    static constexpr char16_t kCaption[] = u"이어받기 ";
    static constexpr char16_t kFoundText[] = u"下載的檔案已存在。";
    static constexpr char16_t kQuestionText[] = u"是否繼續上次的下載？";
    static constexpr char16_t kApplyToAllText[] = u"適用整體檔案";
    static constexpr char16_t kConfirmText[] = u"確認";
    static constexpr char16_t kCancelText[] = u"取消";

    bool InitialApplyToAllChecked() const { return applyToAll_ != 0; }

    // Each handler ends the dialog; the front end closes it afterwards.
    // `checkState` is the check box's state: 1 ticked, 0 clear.
    // "確認": continue the earlier download.
    void OnConfirm(int checkState);
    // "取消": start the files over.
    void OnCancel(int checkState);
    // The title bar's close, Escape or Enter: the earlier download is kept
    // (continue stays as it is) and the check box still counts.
    void OnClose(int checkState);

    bool Continue() const { return continue_ != 0; }
    bool ApplyToAll() const { return applyToAll_ != 0; }

private:
    int continue_ = 1;
    int applyToAll_ = 1;
};
