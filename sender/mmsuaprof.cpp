#include "mmsuaprof.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QMutex>
#include <QSettings>

#include <sys/stat.h>

#include "tarnexconfig_p.h"

QString MmsUAProf::userAgent;

namespace {

// The settings file is looked at on every call, so an edit counts from the
// next request on; it is parsed again only when it is another file or has
// changed since (QSettings itself would compare size and a millisecond
// timestamp; this compares more and skips the per-call set-up).
struct Snapshot
{
    bool valid = false;
    QString path;
    bool exists = false;
    struct stat st = {};
    QString userAgent;
    QString profileUrl;

    bool matches(const QString &p, bool e, const struct stat &s) const
    {
        return valid && p == path && e == exists
            && (!e
                || (s.st_dev == st.st_dev && s.st_ino == st.st_ino && s.st_size == st.st_size
                    && s.st_mtim.tv_sec == st.st_mtim.tv_sec && s.st_mtim.tv_nsec == st.st_mtim.tv_nsec
                    && s.st_ctim.tv_sec == st.st_ctim.tv_sec && s.st_ctim.tv_nsec == st.st_ctim.tv_nsec));
    }
};

QString currentValue(bool userAgent, QString *path)
{
    static QMutex lock;
    static Snapshot snapshot;

    *path = QDir::homePath() + QLatin1String("/.mms/profile.conf");
    struct stat st = {};
    const bool exists = ::stat(QFile::encodeName(*path).constData(), &st) == 0;

    QMutexLocker locker(&lock);
    if (!snapshot.matches(*path, exists, st)) {
        QSettings settings(*path, QSettings::IniFormat);
        snapshot.userAgent = settings
                                 .value(QLatin1String("user_agent"),
                                     QString::fromUtf8(TARNEX_DEFAULT_USER_AGENT))
                                 .toString();
        snapshot.profileUrl = settings
                                  .value(QLatin1String("profile_url"),
                                      QString::fromUtf8(TARNEX_DEFAULT_PROFILE_URL))
                                  .toString();
        snapshot.path = *path;
        snapshot.exists = exists;
        snapshot.st = st;
        snapshot.valid = true;
    }
    return userAgent ? snapshot.userAgent : snapshot.profileUrl;
}

// The value goes verbatim into an HTTP header line; a line break or NUL in
// it would let the settings file forge further header lines or end the
// request early, so such a value is dropped as if it were empty.
QString readHeaderValue(bool userAgent)
{
    QString path;
    const QString value = currentValue(userAgent, &path);
    for (const QChar c : value) {
        if (c == QLatin1Char('\r') || c == QLatin1Char('\n') || c == QChar(0)) {
            qWarning() << "[LIBTARNEX] Ignoring" << (userAgent ? "user_agent" : "profile_url") << "of"
                       << path << "since it contains a line break or NUL";
            return QString();
        }
    }
    return value;
}

} // namespace

QString MmsUAProf::getUserAgent()
{
    return readHeaderValue(true);
}

QString MmsUAProf::getProfileUrl()
{
    return readHeaderValue(false);
}
