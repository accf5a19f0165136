// How byte counts, rates and durations become the texts of the main window,
// and how one rate becomes a sample of the speed graph. Pure functions.
#pragma once

#include <cstdint>
#include <string>

// The value scaled by 1024 until it is below 1024, at most four times:
// "%0.f Bytes", then "%.2f KB" / "MB" / "GB" / "TB"; empty from 1024 TB on.
// Numbers round as printf rounds, so a value just below a unit boundary
// can read "1024.00" of the smaller unit.
std::u16string FormatSize(double bytes);

// Like FormatSize with "/Sec" units ("%0.2f KB/Sec" ...), plain "%0.f Bytes"
// below 1024; 0 or less, and 1024 TB/s or more, give "0.0 Bytes".
std::u16string FormatSpeed(double bytesPerSecond);

// "HH:MM:SS". Hours count on past 24 (a 25-hour estimate reads 25:00:00,
// not 01:00:00); a negative duration reads 00:00:00.
std::u16string FormatDuration(std::int64_t seconds);

// The speed graph's sample: the rate in whole megabits per second
// (rate x 8 / 2^20, truncated), limited to 0..100.
int GraphSample(std::int32_t bytesPerSecond);

// A byte count of the progress record read as unsigned, so that a count
// with the top bit set stays positive.
inline double ByteCountAsDouble(std::int64_t count) {
    return static_cast<double>(static_cast<std::uint64_t>(count));
}
