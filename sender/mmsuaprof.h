#ifndef MMSUAPROF_H
#define MMSUAPROF_H

#include <QString>

// Identity strings that every MMS HTTP request carries, read from
// ~/.mms/profile.conf (INI) on every call, with built-in defaults. Only a
// regular file (symlinks followed) of at most 64 KiB is read; anything else
// there gives the defaults.
class MmsUAProf
{
public:
    static QString getUserAgent();
    static QString getProfileUrl();

    // Kept for binary compatibility; the library itself never reads it.
    static QString userAgent;

private:
    MmsUAProf() = delete;
};

#endif // MMSUAPROF_H
