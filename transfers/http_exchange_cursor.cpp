#include "transfers/http_exchange_cursor.h"

#include "http/resolve_location.h"
#include "platform/text.h"
#include "service/base/service_log.h"

namespace {
const std::string kNoUrl;
}

std::vector<std::string> SplitUrlAlternatives(const std::string& field) {
    std::vector<std::string> alternatives;
    std::size_t start = 0;
    while (start <= field.size()) {
        std::size_t bar = field.find('|', start);
        if (bar == std::string::npos) bar = field.size();
        std::string_view piece = plat::Trim(std::string_view(field).substr(start, bar - start));
        if (!piece.empty()) alternatives.emplace_back(piece);
        start = bar + 1;
    }
    if (alternatives.empty()) alternatives.emplace_back();
    return alternatives;
}

CHttpExchangeCursor::CHttpExchangeCursor(ExchangeLimits limits) : limits_(limits) {}

void CHttpExchangeCursor::Reset(const std::string& urlField) {
    alternatives_ = SplitUrlAlternatives(urlField);
    current_ = 0;
    attempts_ = 0;
    redirects_ = 0;
    redirect_.clear();
    lastUrl_ = alternatives_.front();
    lastFailure_.clear();
    lastWasRedirect_ = false;
}

const std::string& CHttpExchangeCursor::Alternative() const {
    return current_ < alternatives_.size() ? alternatives_[current_] : kNoUrl;
}

bool CHttpExchangeCursor::Advance() {
    if (lastWasRedirect_)
        WriteServiceLogFormat("[OstrelLib] Redirect limit reached : %s", Alternative().c_str());
    lastWasRedirect_ = false;
    ++current_;
    attempts_ = 0;
    redirect_.clear();
    return current_ < alternatives_.size();
}

bool CHttpExchangeCursor::TakeAttempt() {
    while (current_ < alternatives_.size()) {
        if (attempts_ < limits_.attemptsPerAlternative) {
            ++attempts_;
            lastUrl_ = Url();
            return true;
        }
        if (!Advance()) return false;
    }
    return false;
}

bool CHttpExchangeCursor::NextAlternative() {
    if (current_ >= alternatives_.size()) return false;
    return Advance();
}

CHttpExchangeCursor::Redirect CHttpExchangeCursor::OnRedirect(int status,
                                                              const std::string& location) {
    std::string target;
    const LocationVerdict verdict = ResolveLocation(Url(), location, &target);
    Redirect step = Redirect::kFollow;
    if (verdict != LocationVerdict::kResolved) {
        NoteFailure("HTTP " + std::to_string(status) + ": " + LocationVerdictText(verdict));
        step = Redirect::kRefused;
    } else if (redirects_ >= limits_.maxRedirects) {
        NoteFailure("more than " + std::to_string(limits_.maxRedirects) + " redirects");
        step = Redirect::kTooMany;
    } else {
        ++redirects_;
        redirect_ = std::move(target);
        NoteFailure("HTTP " + std::to_string(status) + " redirects to " + redirect_);
    }
    lastWasRedirect_ = true;
    return step;
}

void CHttpExchangeCursor::NoteFailure(std::string reason) {
    lastFailure_ = std::move(reason);
    lastWasRedirect_ = false;
}
