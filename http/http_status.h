// The HTTP status codes the service acts on, by name. A downloader follows
// every redirect that names a new location (301, 302, 303, 307, 308): to it
// they all mean "ask there", and it only ever sends GET.
#pragma once

enum eNWHttpStatusCode : int {
    eNWHSC_HTTP_OK = 200,
    eNWHSC_HTTP_PARTIAL_CONTENT = 206,
    eNWHSC_HTTP_MOVED_PERMANENTLY = 301,
    eNWHSC_HTTP_FOUND = 302,
    eNWHSC_HTTP_SEEOTHER = 303,
    eNWHSC_HTTP_TEMPORARY_REDIRECT = 307,
    eNWHSC_HTTP_PERMANENT_REDIRECT = 308,
    eNWHSC_HTTP_RANGE_NOT_SATISFIABLE = 416,
};

inline constexpr bool IsRedirectStatus(int status) {
    return status == eNWHSC_HTTP_MOVED_PERMANENTLY || status == eNWHSC_HTTP_FOUND ||
           status == eNWHSC_HTTP_SEEOTHER || status == eNWHSC_HTTP_TEMPORARY_REDIRECT ||
           status == eNWHSC_HTTP_PERMANENT_REDIRECT;
}
