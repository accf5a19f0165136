// The result records that could not be sent before the service ended, kept
// in a file of the service's data folder (config/reports.pending) until the
// next start sends them.
//
// Format: "ZK4R", a 32-bit little-endian version (1) and count, then that
// many 298-byte records in their wire layout. Reading bounds everything: at
// most kMaxRecords records, every record with its marker and its texts
// ending inside their columns; a file that is anything else is dropped
// whole (and noted in the service log), never half-trusted.
//
// Plain functions; the reporter calls them with the service lock held.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "transfers/result_record.h"

inline constexpr std::size_t kMaxPendingRecords = 1000;

// config/reports.pending below the service's data folder.
std::string PendingReportsPath();

// Replaces the file with the newest kMaxPendingRecords of `records`, or
// removes it when there are none. False when it cannot be written.
bool SavePendingReports(const std::string& path, const std::vector<ResultRecord>& records);

// Reads and removes the file; the records in their order (none when the
// file is absent or unusable).
std::vector<ResultRecord> TakePendingReports(const std::string& path);

// Decodes a file's bytes; false (and no records) for anything unusable.
bool DecodePendingReports(const std::string& bytes, std::vector<ResultRecord>* records);
