// Formatting helpers for code that runs inside signal handlers (handlers.cpp,
// crash.cpp): no allocation, no lock, no locale, no C++ exception; each
// works in the caller's buffers only.
#ifndef TALVEX_SIGNAL_SAFE_H
#define TALVEX_SIGNAL_SAFE_H

#include <stdint.h>

namespace talvex {

// Decimal text of `value` into `buf` (at least 21 bytes); returns buf.
char *format_int(long long value, char *buf);
// "0x" and lower-case hex digits into `buf` (at least 19 bytes).
char *format_hex(uint64_t value, char *buf);
// Appends `text` at `*end` without passing `limit`.
void append(char **end, const char *limit, const char *text);
bool starts_with(const char *text, const char *prefix);
// The C library's text for `err`, for the errors a crash can meet; null
// for any other.
const char *error_text(int err);

}  // namespace talvex

#endif
