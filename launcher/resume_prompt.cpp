#include "launcher/resume_prompt.h"

void CResumeDlg::OnConfirm(int checkState) {
    continue_ = 1;
    OnClose(checkState);
}

void CResumeDlg::OnCancel(int checkState) {
    continue_ = 0;
    OnClose(checkState);
}

void CResumeDlg::OnClose(int checkState) {
    applyToAll_ = checkState > 0 ? 1 : 0;
}
