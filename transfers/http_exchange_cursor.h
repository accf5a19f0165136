// CHttpExchangeCursor: the one rule set by which every HTTP session of the
// service (document, size probes, content-length check, ranged file, engine
// update) walks through a file's addresses.
//
// A URL field may hold alternatives separated by "|" (mirrors of one file).
// Each alternative gets `attemptsPerAlternative` requests; every request
// takes one, a redirect's included, so a redirect loop ends within the
// attempts like any other failure. A redirect (301, 302, 303, 307, 308)
// whose Location resolves to an http or https URL is followed: the next
// request goes there (http/resolve_location.h); at most `maxRedirects` are
// followed in one exchange. When an alternative is used up the next one
// starts afresh, without the redirect of the one before; after the last the
// exchange has failed. A redirect loop that ends an alternative leaves one
// line in the service log naming the URL.
//
// The cursor also keeps, in words, why the last request failed, so that a
// session's final report names the cause.
//
// Plain state, owned by its session; it runs where the session runs (with
// the service lock held).
#pragma once

#include <string>
#include <vector>

struct ExchangeLimits {
    int attemptsPerAlternative = 3;
    int maxRedirects = 20;
};

class CHttpExchangeCursor {
public:
    explicit CHttpExchangeCursor(ExchangeLimits limits = {});

    // A new exchange over the field's alternatives (trimmed, empty pieces
    // dropped): the first is current, no attempt made, no redirect.
    void Reset(const std::string& urlField);

    // Takes an attempt for the next request, moving on to the next
    // alternative when the current one has none left. False when every
    // alternative is used up: the exchange has failed.
    [[nodiscard]] bool TakeAttempt();
    // Gives up the current alternative at once (its host is unreachable, or
    // its server refused the file for good). False when none is left.
    [[nodiscard]] bool NextAlternative();

    enum class Redirect { kFollow, kRefused, kTooMany };
    // A redirect answer to the request to Url(): kFollow when `location`
    // resolves and the limit allows, and the next request goes there.
    // Otherwise the answer is a failed attempt (the reason is noted).
    [[nodiscard]] Redirect OnRedirect(int status, const std::string& location);

    // Where the next (or current) request goes.
    const std::string& Url() const { return redirect_.empty() ? Alternative() : redirect_; }
    // Where the last request went (also once every alternative is used up).
    const std::string& LastUrl() const { return lastUrl_; }
    // The alternative being tried, as the field gave it.
    const std::string& Alternative() const;
    bool HasAlternatives() const { return !alternatives_.empty(); }
    bool OnLastAlternative() const { return current_ + 1 >= alternatives_.size(); }
    int Attempts() const { return attempts_; }
    int Redirects() const { return redirects_; }
    std::size_t AlternativeIndex() const { return current_; }
    const std::vector<std::string>& Alternatives() const { return alternatives_; }

    // Why the last request failed ("HTTP 404", "connection refused", ...).
    void NoteFailure(std::string reason);
    const std::string& LastFailure() const { return lastFailure_; }

private:
    bool Advance();

    ExchangeLimits limits_;
    std::vector<std::string> alternatives_;
    std::size_t current_ = 0;
    int attempts_ = 0;
    int redirects_ = 0;
    std::string redirect_;
    std::string lastUrl_;
    std::string lastFailure_;
    bool lastWasRedirect_ = false;
};

// The non-empty alternatives of a URL field, trimmed of white space; a field
// without any gives one empty URL (which fails its attempts).
std::vector<std::string> SplitUrlAlternatives(const std::string& field);
