// The controller over the real download service and a real nginx: the
// service's events come through a forwarding window into a queue that the
// test drains on its own thread, as a front end's loop would.
#include <gtest/gtest.h>

#include <condition_variable>
#include <deque>
#include <fstream>
#include <mutex>

#include "launcher/download_service_client.h"
#include "launcher/required_size.h"
#include "launcher/tlx_downloader_dlg.h"
#include "platform/files.h"
#include "platform/kernel.h"
#include "tests/launcher/recording_window.h"
#include "tests/support/nginx_server.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_folder.h"

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The recording window, but files exist when they exist.
class DiskWindow : public RecordingWindow {
public:
    bool FileExists(const std::u16string& path) override {
        return plat::PathExists(plat::WideToAnsi(path));
    }
};

class ControllerServiceTest : public testing::Test {
protected:
    void SetUp() override {
        if (!NginxServer::Available()) GTEST_SKIP() << "nginx is not installed";
        SetRequiredSize(0);
        nginx_ = std::make_unique<NginxServer>("limit_rate 4m;");
        ASSERT_TRUE(nginx_->Start()) << nginx_->Error();
        notify_ = plat::CreateForwardingWindow([this](const plat::Msg& msg) {
            std::lock_guard lock(mutex_);
            queue_.push_back(msg);
            cv_.notify_one();
        });
        ASSERT_NE(notify_, nullptr);
        client_ = std::make_unique<CDownloadServiceClient>(notify_);
    }
    void TearDown() override {
        if (dlg_) dlg_->OnDestroy();
        if (notify_) plat::DestroyWindow(notify_);
    }

    void Open(const std::string& listPath) {
        dlg_ = std::make_unique<CTLXDownloaderDlg>(window_, *client_, u"tlxdownloader",
                                                   plat::AnsiToWide(nginx_->Url(listPath)));
        dlg_->OnInitDialog();
    }
    // Hands queued messages to the controller until `done` or the time is up.
    template <class Done>
    bool RunUntil(Done done, int timeoutMs = 30000) {
        const std::int64_t deadline = plat::MonotonicMs() + timeoutMs;
        while (!done()) {
            if (plat::MonotonicMs() > deadline) return false;
            plat::Msg msg;
            bool got = false;
            {
                std::unique_lock lock(mutex_);
                cv_.wait_for(lock, std::chrono::milliseconds(20), [&] { return !queue_.empty(); });
                if (!queue_.empty()) {
                    msg = queue_.front();
                    queue_.pop_front();
                    got = true;
                }
            }
            if (got) dlg_->HandleMessage(msg.message, msg.wParam, msg.lParam);
            while (!window_.posted.empty()) {
                PostedMessage own = window_.posted.front();
                window_.posted.pop_front();
                dlg_->HandleMessage(own.message, own.wParam, own.lParam);
            }
        }
        return true;
    }

    TempFolder home_;
    ScopedEnv homeVariable_{"HOME", home_.Path().c_str()};
    ScopedEnv configVariable_{"XDG_CONFIG_HOME", (home_.Path() + "cfg").c_str()};
    std::unique_ptr<NginxServer> nginx_;
    plat::Hwnd notify_ = nullptr;
    std::unique_ptr<CDownloadServiceClient> client_;
    DiskWindow window_;
    std::unique_ptr<CTLXDownloaderDlg> dlg_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<plat::Msg> queue_;
};

}  // namespace

TEST_F(ControllerServiceTest, WholeRunFromListToInstallerStart) {
    const std::string setup = nginx_->WriteFile("/zk4/ZK4Setup.exe", 300000, 3);
    const std::string data = nginx_->WriteFile("/zk4/data.pak", 2u << 20, 4);
    nginx_->WriteText("/filelist.txt", nginx_->Url("/zk4/data.pak") + "\r\n" +
                                           nginx_->Url("/zk4/ZK4Setup.exe") + "\r\n");
    Open("/filelist.txt");
    const auto total = static_cast<std::int64_t>(setup.size() + data.size());
    ASSERT_TRUE(RunUntil([&] { return !window_.texts[kFileLabel].empty(); }));
    EXPECT_EQ(RequiredSize(), total);
    EXPECT_EQ(window_.texts.at(kFileLabel), "data.pak [1/2]");

    dlg_->OnStartStopClicked();
    ASSERT_TRUE(RunUntil([&] { return dlg_->Finished(); }))
        << (window_.boxes.empty() ? "" : window_.boxes.back().text);
    const std::string folder = home_.Path() + "tovalen/ZK4/";
    EXPECT_TRUE(ReadFile(folder + "data.pak") == data);
    EXPECT_TRUE(ReadFile(folder + "ZK4Setup.exe") == setup);
    EXPECT_EQ(dlg_->InstallerPath(), plat::AnsiToWide(folder + "ZK4Setup.exe"));
    EXPECT_TRUE(window_.enabled.at(kRunButton));

    dlg_->OnRunClicked();
    ASSERT_TRUE(RunUntil([&] { return !window_.quits.empty(); }));
    EXPECT_EQ(window_.started, std::vector<std::string>{"runas " + folder + "ZK4Setup.exe"});
    EXPECT_EQ(window_.quits, std::vector<int>{0});
    EXPECT_TRUE(window_.boxes.empty());
}

TEST_F(ControllerServiceTest, MissingListIsToldAndQuits) {
    Open("/nothing-here.txt");
    ASSERT_TRUE(RunUntil([&] { return !window_.quits.empty(); }));
    EXPECT_EQ(window_.boxes.at(0).text.rfind("下載檔案目錄失敗\n\n伺服器回應 HTTP 404（", 0), 0u)
        << window_.boxes.at(0).text;
    EXPECT_EQ(window_.boxes.at(0).caption, "ZK4");
}

TEST(DownloadServiceClient, AnswersFailureWithoutAService) {
    CDownloadServiceClient client(nullptr);
    CJob* job = nullptr;
    EXPECT_EQ(client.LoadDocument("http://h/x"), 517);
    EXPECT_EQ(client.CreateJob(&job, "k"), 517);
    EXPECT_EQ(job, nullptr);
    std::string bytes;
    EXPECT_FALSE(client.FetchDocument(&bytes));
    EXPECT_FALSE(client.AddSizeCheckUrl("http://h/x"));
    EXPECT_EQ(client.SizeCheckTotal(), 0);
    std::int32_t code = 0;
    EXPECT_EQ(client.PopJobMessage(job, &code, &bytes), 517);
    EXPECT_EQ(code, 512);
}
