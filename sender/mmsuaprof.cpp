#include "mmsuaprof.h"

#include <QDebug>
#include <QDir>
#include <QSettings>

#include "tarnexconfig_p.h"

QString MmsUAProf::userAgent;

namespace {

// The value goes verbatim into an HTTP header line; a line break or NUL in
// it would let the settings file forge further header lines or end the
// request early, so such a value is dropped as if it were empty.
QString readHeaderValue(const char *key, const char *fallback)
{
    const QString path = QDir::homePath() + QLatin1String("/.mms/profile.conf");
    QString value;
    {
        QSettings settings(path, QSettings::IniFormat);
        value = settings.value(QLatin1String(key), QString::fromUtf8(fallback)).toString();
    }
    for (const QChar c : qAsConst(value)) {
        if (c == QLatin1Char('\r') || c == QLatin1Char('\n') || c == QChar(0)) {
            qWarning() << "[LIBTARNEX] Ignoring" << key << "of" << path
                       << "since it contains a line break or NUL";
            return QString();
        }
    }
    return value;
}

} // namespace

QString MmsUAProf::getUserAgent()
{
    return readHeaderValue("user_agent", TARNEX_DEFAULT_USER_AGENT);
}

QString MmsUAProf::getProfileUrl()
{
    return readHeaderValue("profile_url", TARNEX_DEFAULT_PROFILE_URL);
}
