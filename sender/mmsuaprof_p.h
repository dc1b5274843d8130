#ifndef MMSUAPROF_P_H
#define MMSUAPROF_P_H

#include <QString>
#include <QStringList>
#include <QVariantMap>

// Everything ~/.mms/profile.conf holds, as parseIniSettings() reads it, for
// the request being built.
struct ProfileSettings
{
    QString path; // of the file, for warnings
    QVariantMap values;
    QStringList order; // the keys of `values`, each group in file order
};

// The file is looked at on every call and parsed again only when it has
// changed. A missing or unreadable file reads as empty; so, with a warning,
// does anything that is not a regular file (after symlinks) and a file over
// MaxProfileFileSize: the callers' defaults apply.
ProfileSettings profileSettings();

// The value of `key` as text: `fallback` when it is missing, empty (with a
// warning) when it holds a line break or NUL, which would end a header line
// and let the file forge the next one.
QString identityValue(const ProfileSettings &settings, const char *key, const char *fallback);

const qint64 MaxProfileFileSize = 64 * 1024;

#endif // MMSUAPROF_P_H
