// A window that records what the controller does to it, for headless
// tests. Message boxes answer from a script; a hook may run inside a box
// to play events that arrive while it is open.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "launcher/resume_prompt.h"
#include "launcher/window_system.h"
#include "platform/text.h"

struct RecordedBox {
    std::string text;
    std::string caption;
    MessageBoxButtons buttons;
    MessageBoxIcon icon;
};

struct PostedMessage {
    std::uint32_t message;
    plat::WParam wParam;
    plat::LParam lParam;
};

class RecordingWindow : public IWindowSystem {
public:
    MessageBoxAnswer ShowMessageBox(const std::u16string& text, const std::u16string& caption,
                                    MessageBoxButtons buttons, MessageBoxIcon icon) override {
        boxes.push_back({plat::WideToAnsi(text), plat::WideToAnsi(caption), buttons, icon});
        if (insideBox) {
            auto hook = std::move(insideBox);
            insideBox = nullptr;
            hook();
        }
        if (buttons == MessageBoxButtons::kOk) return MessageBoxAnswer::kOk;
        if (answers.empty()) return MessageBoxAnswer::kNo;
        MessageBoxAnswer answer = answers.front();
        answers.pop_front();
        return answer;
    }
    void SetControlText(int id, const std::u16string& text) override {
        texts[id] = plat::WideToAnsi(text);
    }
    void EnableControl(int id, bool enabled) override { this->enabled[id] = enabled; }
    void MoveControl(int id, const ControlRect& rect) override { moves[id] = rect; }
    void RedrawControl(int id) override { redraws.push_back(id); }
    void SetBarPosition(int id, int percent) override { bars[id] = percent; }
    void PushGraphSample(int sample) override { graph.push_back(sample); }
    void SetCheck(int id, bool ticked) override { checks[id] = ticked; }
    void SetStartStopFace(StartStopFace face) override { this->face = face; }
    void CenterWindow() override { ++centred; }
    void NavigateBanner(const std::u16string& url) override { banner = plat::WideToAnsi(url); }
    void SetWindowTitle(const std::u16string& text) override { title = plat::WideToAnsi(text); }
    void NotifyPlayer(const std::u16string& heading, const std::u16string& text) override {
        notifications.push_back(plat::WideToAnsi(heading) + ": " + plat::WideToAnsi(text));
    }
    void PostToWindow(std::uint32_t message, plat::WParam w, plat::LParam l) override {
        posted.push_back({message, w, l});
    }
    void PostQuit(int exitCode) override { quits.push_back(exitCode); }
    void EndDialog() override { ++dialogEnds; }
    std::optional<std::u16string> BrowseForFolder(const FolderBrowseRequest& request) override {
        browseTitles.push_back(plat::WideToAnsi(request.title));
        browseInitial.push_back(plat::WideToAnsi(request.initialFolder));
        if (browseSelectionProbe)
            selectionTexts.push_back(
                plat::WideToAnsi(request.selectionText(*browseSelectionProbe)));
        return browseAnswer;
    }
    void RunResumePrompt(CResumeDlg& prompt) override {
        ++prompts;
        if (insidePrompt) insidePrompt();
        if (promptAction) promptAction(prompt);
    }
    bool StartProgram(const std::u16string& path, const std::u16string& verb,
                      int idleWaitMs) override {
        started.push_back(plat::WideToAnsi(verb) + " " + plat::WideToAnsi(path));
        startWaitMs = idleWaitMs;
        return startSucceeds;
    }
    bool FileExists(const std::u16string& path) override {
        return existing.count(plat::WideToAnsi(path)) != 0;
    }

    std::vector<RecordedBox> boxes;
    std::deque<MessageBoxAnswer> answers;
    std::function<void()> insideBox;
    std::map<int, std::string> texts;
    std::map<int, bool> enabled;
    std::map<int, ControlRect> moves;
    std::vector<int> redraws;
    std::map<int, int> bars;
    std::vector<int> graph;
    std::map<int, bool> checks;
    std::optional<StartStopFace> face;
    int centred = 0;
    std::string banner;
    std::string title;
    std::vector<std::string> notifications;
    std::deque<PostedMessage> posted;
    std::vector<int> quits;
    int dialogEnds = 0;
    std::vector<std::string> browseTitles;
    std::vector<std::string> browseInitial;
    std::optional<std::u16string> browseSelectionProbe;
    std::vector<std::string> selectionTexts;
    std::optional<std::u16string> browseAnswer;
    int prompts = 0;
    std::function<void()> insidePrompt;
    std::function<void(CResumeDlg&)> promptAction;
    std::vector<std::string> started;
    int startWaitMs = -1;
    bool startSucceeds = true;
    std::set<std::string> existing;
};
