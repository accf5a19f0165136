#include "transfers/http_outcome.h"

#include "transfers/transfer_policy.h"

namespace {

constexpr Reaction R = {Step::kRetry, false};
constexpr Reaction N = {Step::kNextAddress, false};
constexpr Reaction F = {Step::kFail, false};
constexpr Reaction X = {Step::kFail, true};  // fail, and forget the server's address

// Columns: document, sum, size probe, file, update.
//
// The file list and the update fail at once, whatever went wrong: the
// launcher shows the list's failure and lets the player try again, and the
// update downloader has its own next try (and falls back to the direct
// path), so a second request inside the exchange would only delay both.
// The list's own server is forgotten on an answer that was wrong (a status,
// a head, a cut body): the next fetch resolves its name again.
//
// The sum and the file transfer retry nearly everything: a busy or
// restarting mirror (503), a reset or a stall are what their three
// attempts per address are for. The size probe before a transfer fails at
// once on an answer (a 404 will not become a file), but retries the
// connection itself.
constexpr Reaction kTable[kHttpOutcomes][kExchangeRoles] = {
    //                 list sum probe file update
    // An address that is not http(s) stays one: asking again is pointless.
    // The probes count it down like any other failure.
    /* address refused */ {F, R, R, F, F},
    // A redirect refused by the file transfer ends the job: the server
    // said the file is elsewhere and named no usable place. The file list
    // forgets its server, which sent it nowhere.
    /* redirect refused */ {X, R, R, F, F},
    /* too many redirects */ {F, R, R, R, F},
    /* 4xx */ {X, R, F, R, F},
    /* 5xx */ {X, R, F, R, F},
    /* other status */ {X, R, F, R, F},
    // A malformed head is what a close before the answer was: the same
    // server may answer properly next time.
    /* bad head */ {X, R, R, R, F},
    /* not the body */ {X, R, F, R, F},
    // The file transfer asks for the whole file next; the others never ask
    // for a part they cannot take.
    /* wrong part */ {F, R, F, R, F},
    /* no address */ {X, R, R, R, F},
    // The sum moves to the next mirror at once: a host that cannot be
    // reached will not be reached on the next try either.
    /* unreachable */ {F, N, R, R, F},
    /* connect failed */ {F, R, R, R, F},
    // A proxy that refuses one origin (it needs credentials, or cannot
    // reach it) may still reach a mirror.
    /* proxy refused */ {F, N, N, N, F},
    // Nothing on this machine changes between tries: the attempts go at
    // once, and the file transfer stops where the others count them down.
    /* no connection */ {F, R, R, F, F},
    /* closed early */ {X, R, R, R, F},
    /* too slow */ {F, R, R, R, F},
};

}  // namespace

Reaction ReactionTo(ExchangeRole role, HttpOutcome outcome) {
    return kTable[static_cast<int>(outcome)][static_cast<int>(role)];
}

HttpOutcome OutcomeOfStatus(int status) {
    if (status >= 400 && status <= 499) return HttpOutcome::kClientError;
    if (status >= 500 && status <= 599) return HttpOutcome::kServerError;
    return HttpOutcome::kOtherStatus;
}

bool IsPassing(HttpOutcome outcome) {
    switch (outcome) {
        case HttpOutcome::kServerError:
        case HttpOutcome::kNoAddress:
        case HttpOutcome::kUnreachable:
        case HttpOutcome::kConnectFailed:
        case HttpOutcome::kProxyRefused:
        case HttpOutcome::kClosedEarly:
        case HttpOutcome::kTooSlow:
            return true;
        default:
            return false;
    }
}

ExchangeLimits LimitsFor(ExchangeRole role) {
    using namespace transfer_policy;
    switch (role) {
        case ExchangeRole::kDocument:
        case ExchangeRole::kUpdate:
            return {1 + kMaxRedirects, kMaxRedirects};
        case ExchangeRole::kSum:
        case ExchangeRole::kSizeProbe:
        case ExchangeRole::kFile:
            break;
    }
    return {kAttemptsPerAddress, kMaxRedirects};
}

std::string_view RoleName(ExchangeRole role) {
    switch (role) {
        case ExchangeRole::kDocument: return "file list";
        case ExchangeRole::kSum: return "sum";
        case ExchangeRole::kSizeProbe: return "size probe";
        case ExchangeRole::kFile: return "file";
        case ExchangeRole::kUpdate: return "update";
    }
    return "?";
}

std::string_view OutcomeName(HttpOutcome outcome) {
    switch (outcome) {
        case HttpOutcome::kAddressRefused: return "address refused";
        case HttpOutcome::kRedirectRefused: return "redirect refused";
        case HttpOutcome::kTooManyRedirects: return "too many redirects";
        case HttpOutcome::kClientError: return "4xx";
        case HttpOutcome::kServerError: return "5xx";
        case HttpOutcome::kOtherStatus: return "other status";
        case HttpOutcome::kBadHead: return "bad head";
        case HttpOutcome::kNotTheBody: return "not the body";
        case HttpOutcome::kWrongPart: return "wrong part";
        case HttpOutcome::kNoAddress: return "no address";
        case HttpOutcome::kUnreachable: return "unreachable";
        case HttpOutcome::kConnectFailed: return "connect failed";
        case HttpOutcome::kProxyRefused: return "proxy refused";
        case HttpOutcome::kNoConnection: return "no connection";
        case HttpOutcome::kClosedEarly: return "closed early";
        case HttpOutcome::kTooSlow: return "too slow";
    }
    return "?";
}
