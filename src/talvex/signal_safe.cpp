// See signal_safe.h. Compiled as handlers.cpp is, unfortified: what runs
// in a handler calls no checking wrapper of the C library.
#undef _FORTIFY_SOURCE

#include "signal_safe.h"

#include <errno.h>
#include <string.h>

namespace talvex {

namespace {

// glibc's texts for the errors that starting the inspector (clone,
// execve) and opening the crash file can meet, from a table of our own:
// strerror may load the locale's messages, which allocates, and
// strerrordesc_np needs glibc 2.32.
struct ErrorText {
    int err;
    const char *text;
};
const ErrorText kErrorTexts[] = {
    {EPERM, "Operation not permitted"},
    {ENOENT, "No such file or directory"},
    {ENXIO, "No such device or address"},
    {EIO, "Input/output error"},
    {E2BIG, "Argument list too long"},
    {ENOEXEC, "Exec format error"},
    {EAGAIN, "Resource temporarily unavailable"},
    {ENOMEM, "Cannot allocate memory"},
    {EACCES, "Permission denied"},
    {EFAULT, "Bad address"},
    {ENOTDIR, "Not a directory"},
    {EISDIR, "Is a directory"},
    {EINVAL, "Invalid argument"},
    {ENFILE, "Too many open files in system"},
    {EMFILE, "Too many open files"},
    {ETXTBSY, "Text file busy"},
    {ENOSPC, "No space left on device"},
    {EROFS, "Read-only file system"},
    {ENAMETOOLONG, "File name too long"},
    {ELOOP, "Too many levels of symbolic links"},
    {ELIBBAD, "Accessing a corrupted shared library"},
    {EUSERS, "Too many users"},
    {EDQUOT, "Disk quota exceeded"},
};

}  // namespace

char *format_int(long long value, char *buf)
{
    char digits[21];
    int n = 0;
    // Work on the negative magnitude so that the minimum needs no special case.
    long long v = value < 0 ? value : -value;
    do {
        digits[n++] = static_cast<char>('0' - v % 10);
        v /= 10;
    } while (v != 0);
    char *p = buf;
    if (value < 0)
        *p++ = '-';
    while (n > 0)
        *p++ = digits[--n];
    *p = '\0';
    return buf;
}

char *format_hex(uint64_t value, char *buf)
{
    char digits[16];
    int n = 0;
    do {
        digits[n++] = "0123456789abcdef"[value & 0xf];
        value >>= 4;
    } while (value != 0);
    char *p = buf;
    *p++ = '0';
    *p++ = 'x';
    while (n > 0)
        *p++ = digits[--n];
    *p = '\0';
    return buf;
}

void append(char **end, const char *limit, const char *text)
{
    while (*text != '\0' && *end < limit)
        *(*end)++ = *text++;
    **end = '\0';
}

bool starts_with(const char *text, const char *prefix)
{
    return strncmp(text, prefix, strlen(prefix)) == 0;
}

const char *error_text(int err)
{
    for (const ErrorText &e : kErrorTexts) {
        if (e.err == err)
            return e.text;
    }
    return nullptr;
}

}  // namespace talvex
