#ifndef MMSUAPROF_P_H
#define MMSUAPROF_P_H

#include <QString>
#include <QVariantMap>

// Everything ~/.mms/profile.conf holds, as parseIniSettings() reads it, for
// the request being built. The file is looked at on every call and parsed
// again only when it has changed. A missing or unreadable file reads as
// empty; so, with a warning, does anything that is not a regular file (after
// symlinks) and a file over MaxProfileFileSize: the callers' defaults apply.
// `path`, when given, receives the file's path.
QVariantMap profileSettings(QString *path = nullptr);

const qint64 MaxProfileFileSize = 64 * 1024;

#endif // MMSUAPROF_P_H
