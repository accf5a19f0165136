// Where the result reporter sends its reports.
//
// The host is fixed at build time (cmake -DZK4_REPORT_SERVER=...) like the
// other server hosts, the port is 54547. The environment variable
// TLX_REPORT_SERVER replaces them at run time, so that tests and demos can
// point the reporter at a loopback server:
//
//   TLX_REPORT_SERVER=host:port   both replaced
//   TLX_REPORT_SERVER=host        the host alone; port 54547
//   TLX_REPORT_SERVER=:port       the port alone; the built-in host
//
// A value whose port is not a decimal number from 1 to 65535 (or that has
// neither host nor port) is ignored as a whole: a typo must not send
// reports to a half-changed endpoint. The host is split off at the last
// ':', as the report channel speaks IPv4 only.
#pragma once

#include <cstdint>
#include <string>

inline constexpr const char* kReportServerVariable = "TLX_REPORT_SERVER";

struct ReportServerAddress {
    std::string host;
    std::uint16_t port = 0;
};

// The built-in endpoint as replaced by `overrideValue` (null or empty: none)
// by the rules above. No environment access; any thread.
ReportServerAddress ReportServerEndpointFrom(const char* overrideValue);

// The endpoint for this process: ReportServerEndpointFrom with the current
// value of TLX_REPORT_SERVER. A value that is ignored leaves a line in the
// service log.
ReportServerAddress ReportServerEndpoint();
