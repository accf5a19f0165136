// The service log: one plain-text record per diagnostic line,
// "[" + 24-character local time + "] " + message + "\r\n", appended to
// config/service.log in the service's data folder; control characters in
// the message are written as \xNN, so one record is always one line. Written from both
// threads without a lock; each record opens, appends and closes the file, so
// nothing is buffered across calls. A log that cannot be opened makes the
// write a silent no-op.
#pragma once

#include <string>

void WriteServiceLog(const char* message);
void WriteServiceLogFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));
// The full path of the log (computed once, then cached for the process).
std::string GetServiceLogPath();
// Creates missing folders of the path and leaves an empty log file.
void ResetServiceLog();

// Test seam: forgets the cached path so the next call resolves it again.
void ForgetServiceLogPathForTesting();
// Test seam: counts how many formatted messages needed a heap buffer.
int ServiceLogHeapFormatsForTesting();
