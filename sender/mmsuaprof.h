#ifndef MMSUAPROF_H
#define MMSUAPROF_H

#include <QString>

/**
 * \file mmsuaprof.h
 * MmsUAProf, the identity every MMS request presents.
 */

/**
 * \brief The device identity that every MMS HTTP request carries: its user agent and UAProf URL.
 *
 * Both come from the user's settings file `~/.mms/profile.conf` (the home directory of the user the process
 * runs as), keys `user_agent` and `profile_url`, in Qt's INI format, with defaults set when the library was
 * built where a key or the file is missing. All four transfer classes send the user agent as "User-Agent"
 * and the UAProf URL as "x-wap-profile" (the field name can be changed in the same file); an empty value
 * leaves its field out. The same file can add carrier fields to every request: see \ref settings_file.
 *
 * The file is looked at on every call, so an edit counts from the next request, and parsed again only when
 * it has changed. Only a regular file (a symbolic link to one is fine) of at most 64 KiB is read: anything
 * else at that path (a FIFO, a device, a directory) counts as missing, and a larger file is ignored with a
 * warning; the defaults apply either way. The library never writes the file.
 *
 * A class with static members only; it cannot be instantiated. The getters may be called from any thread.
 */
class MmsUAProf
{
public:
    /**
     * The value of `user_agent`, or the built-in default when the file or the key is missing. Empty when
     * the key is present with an empty value, or with a value that holds a line break or NUL (with a
     * warning). A value containing commas must be written in double quotes; unquoted it reads as a list
     * and gives the empty string.
     */
    static QString getUserAgent();
    /// The value of `profile_url`, or the built-in default; the rules of getUserAgent() apply.
    static QString getProfileUrl();

    /// Kept for binary compatibility with release 1.0; the library neither reads nor writes it.
    static QString userAgent;

private:
    MmsUAProf() = delete;
};

#endif // MMSUAPROF_H
