#include "mmsuaprof.h"
#include "mmsuaprof_p.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QMutex>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "httpsyntax.h"
#include "iniparser_p.h"
#include "tarnexconfig_p.h"

QString MmsUAProf::userAgent;

namespace {

// The settings file is looked at on every call, so an edit counts from the
// next request on; it is read again only when it is another file or has
// changed since (device, inode, size and both timestamps to the nanosecond).
struct Snapshot
{
    bool valid = false;
    QString path;
    bool exists = false;
    struct stat st = {};
    ProfileSettings settings;

    bool matches(const QString &p, bool e, const struct stat &s) const
    {
        return valid && p == path && e == exists
            && (!e
                || (s.st_dev == st.st_dev && s.st_ino == st.st_ino && s.st_mode == st.st_mode
                    && s.st_size == st.st_size && s.st_mtim.tv_sec == st.st_mtim.tv_sec
                    && s.st_mtim.tv_nsec == st.st_mtim.tv_nsec && s.st_ctim.tv_sec == st.st_ctim.tv_sec
                    && s.st_ctim.tv_nsec == st.st_ctim.tv_nsec));
    }
};

// The file's bytes, read with a bound of our own: opening a FIFO would block
// until a writer came, a device could stream for ever, and a huge file would
// be read whole. `st` is what stat() said of the path (symlinks followed, so
// a link to a regular file is a regular file); what is read is checked again
// on the opened descriptor, in case the path changed in between.
QByteArray readSettingsFile(const QString &path, const struct stat &st)
{
    auto notRegular = [&path]() {
        qWarning() << "[LIBTARNEX]" << path << "is not a regular file, ignored";
        return QByteArray();
    };
    auto tooLarge = [&path]() {
        qWarning() << "[LIBTARNEX]" << path << "is larger than" << MaxProfileFileSize
                   << "bytes, ignored: defaults used";
        return QByteArray();
    };
    if (!S_ISREG(st.st_mode))
        return notRegular();
    if (st.st_size > MaxProfileFileSize)
        return tooLarge();

    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return QByteArray(); // unreadable: as if missing
    struct stat opened = {};
    if (::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
        ::close(fd);
        return notRegular();
    }
    QByteArray data(int(MaxProfileFileSize + 1), Qt::Uninitialized);
    int filled = 0;
    while (filled < data.size()) {
        const ssize_t n = ::read(fd, data.data() + filled, size_t(data.size() - filled));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            ::close(fd);
            return QByteArray();
        }
        if (n == 0)
            break;
        filled += int(n);
    }
    ::close(fd);
    if (filled > MaxProfileFileSize)
        return tooLarge();
    data.truncate(filled);
    return data;
}

} // namespace

ProfileSettings profileSettings()
{
    static QMutex lock;
    static Snapshot snapshot;

    const QString path = QDir::homePath() + QLatin1String("/.mms/profile.conf");
    struct stat st = {};
    const bool exists = ::stat(QFile::encodeName(path).constData(), &st) == 0;

    QMutexLocker locker(&lock);
    if (!snapshot.matches(path, exists, st)) {
        snapshot.settings.path = path;
        snapshot.settings.order.clear();
        snapshot.settings.values
            = exists ? parseIniSettings(readSettingsFile(path, st), &snapshot.settings.order) : QVariantMap();
        snapshot.path = path;
        snapshot.exists = exists;
        snapshot.st = st;
        snapshot.valid = true;
    }
    return snapshot.settings;
}

QString identityValue(const ProfileSettings &settings, const char *key, const char *fallback)
{
    const auto it = settings.values.constFind(QLatin1String(key));
    const QString value = it == settings.values.cend() ? QString::fromUtf8(fallback) : it->toString();
    if (HttpSyntax::hasLineBreakOrNul(value)) {
        qWarning() << "[LIBTARNEX] Ignoring" << key << "of" << settings.path
                   << "since it contains a line break or NUL";
        return QString();
    }
    return value;
}

QString MmsUAProf::getUserAgent()
{
    return identityValue(profileSettings(), "user_agent", TARNEX_DEFAULT_USER_AGENT);
}

QString MmsUAProf::getProfileUrl()
{
    return identityValue(profileSettings(), "profile_url", TARNEX_DEFAULT_PROFILE_URL);
}
