#include "tests/support/network_fixture.h"

#include <algorithm>

#include "Lib_SSL/COpenSSL.h"

void NetworkTest::SetUp() {
    // The service worker starts the TLS library before its network context;
    // these tests build the context themselves.
    ASSERT_TRUE(COpenSSL::GlobalStartup());
    ASSERT_TRUE(lock_.CreateInstance(kClassMutex));
    held_ = std::make_unique<cpLockGuard>(lock_.As<cpCMutex>());
    zel_ = std::make_unique<CZel>(lock_);
    ASSERT_TRUE(zel_->Started());
    cpHostCache().ClearForTesting();
}

void NetworkTest::TearDown() {
    zel_.reset();
    held_.reset();
}

HttpFetch::HttpFetch(int actionType, std::uint32_t rate, std::uint32_t flags) {
    EXPECT_TRUE(context_.CreateInstance(kClassQoSContext));
    vzIQoSContext* context = Context();
    EXPECT_TRUE(vzSucceeded(context->Open(actionType, flags, nullptr)));
    std::uint32_t timeout = 5;
    EXPECT_TRUE(vzSucceeded(context->SetOption(kOptionConnectTimeout, &timeout)));
    EXPECT_TRUE(vzSucceeded(context->SetOption(kOptionIdleTimeout, &timeout)));
    if (rate) {
        EXPECT_TRUE(vzSucceeded(context->SetRate(0, &rate)));
    }
    EXPECT_TRUE(vzSucceeded(context->AddLayer(kClassHttpClientExLayer, false)));
    EXPECT_TRUE(vzSucceeded(Layer()->SetListener(this, 7)));
}

HttpFetch::~HttpFetch() {
    Close();
}

vzIHttpClientExLayer* HttpFetch::Layer() const {
    return static_cast<vzIHttpClientExLayer*>(Context()->GetTopLayer());
}

bool HttpFetch::Start(const std::string& url,
                      const std::vector<std::pair<std::string, std::string>>& headers) {
    if (vzFailed(Layer()->Open(url.c_str()))) return false;
    for (const auto& [name, value] : headers) {
        EXPECT_TRUE(vzSucceeded(Layer()->SetHeader(name.c_str(), value.c_str())));
    }
    return vzSucceeded(Layer()->Get());
}

void HttpFetch::Close() {
    if (!context_) return;
    if (vzIHttpClientExLayer* layer = Layer()) {
        EXPECT_TRUE(vzSucceeded(layer->SetListener(nullptr, 0)));
    }
    EXPECT_TRUE(vzSucceeded(Context()->Close()));
    context_.Reset();
}

int HttpFetch::Count(const std::string& event) const {
    return static_cast<int>(std::count(events.begin(), events.end(), event));
}

void HttpFetch::OnHeaderReceived(std::uint32_t value) {
    EXPECT_EQ(value, 7u);
    events.push_back("header");
    EXPECT_TRUE(vzSucceeded(Layer()->GetStatusCode(&status)));
    EXPECT_TRUE(vzSucceeded(Layer()->GetContentLength(&contentLength)));
}

std::int32_t HttpFetch::OnBodyData(std::uint32_t, const void* data, std::int32_t length) {
    offered.push_back(length);
    std::int32_t take = consumeAtMost < 0 ? length : std::min(length, consumeAtMost);
    body.append(static_cast<const char*>(data), static_cast<std::size_t>(take));
    if (events.empty() || events.back() != "body") events.push_back("body");
    return take;
}

void HttpFetch::OnComplete(std::uint32_t) {
    events.push_back("complete");
    if (closeOnComplete) {
        EXPECT_TRUE(vzSucceeded(Context()->Close()));
    }
}
