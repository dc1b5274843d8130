#include "requestprofile_p.h"

#include <QDebug>
#include <QVariant>

#include "httpsyntax.h"
#include "mmsuaprof_p.h"
#include "tarnexconfig_p.h"
#include "tarnexdebug_p.h"

namespace {

const QLatin1String HeadersGroup("headers/");

// Fields whose value the library or the HTTP client work out themselves: a
// second Host or length from a file would make the request mean something
// else to the server or a proxy on the way.
bool reserved(const QByteArray &name)
{
    for (const char *own : { "Host", "Content-Length", "Content-Type", "Transfer-Encoding", "Connection" })
        if (name.compare(own, Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

// `key` names the setting; when its value is the name, the name is shown
// too (QDebug escapes what could break the log line).
bool acceptableName(
    const ProfileSettings &settings, const QString &key, const QString &name, bool valueIsName)
{
    const QByteArray bytes = name.toLatin1();
    if (!HttpSyntax::isToken(bytes)) {
        if (valueIsName)
            qWarning() << "[LIBTARNEX] Ignoring" << key << "of" << settings.path << "since" << name
                       << "is not an HTTP token";
        else
            qWarning() << "[LIBTARNEX] Ignoring" << key << "of" << settings.path
                       << "since the name is not an HTTP token";
        return false;
    }
    if (reserved(bytes)) {
        qWarning() << "[LIBTARNEX] Ignoring" << key << "of" << settings.path << "since the library sets"
                   << name << "itself";
        return false;
    }
    return true;
}

bool isList(const QVariant &value)
{
    return value.userType() == QMetaType::QStringList || value.userType() == QMetaType::QVariantList;
}

// Unknown words count as false: a connection kept open is the designed
// behaviour, and a typo must not change it silently.
bool closeRequested(const ProfileSettings &settings)
{
    const auto it = settings.values.constFind(QStringLiteral("connection_close"));
    if (it == settings.values.cend())
        return false;
    const QString word = it->toString().trimmed().toLower();
    if (!isList(*it)) {
        for (const char *yes : { "true", "yes", "on", "1" })
            if (word == QLatin1String(yes))
                return true;
        for (const char *no : { "false", "no", "off", "0", "" })
            if (word == QLatin1String(no))
                return false;
    }
    qWarning() << "[LIBTARNEX] Ignoring connection_close of" << settings.path
               << "since it is not true or false";
    return false;
}

void setField(RequestProfile &profile, const QByteArray &name, const QString &value)
{
    for (int i = 0; i < profile.fields.size(); ++i) {
        if (profile.fields.at(i).first.compare(name, Qt::CaseInsensitive) != 0)
            continue;
        if (value.isEmpty())
            profile.fields.removeAt(i);
        else
            profile.fields[i].second = value;
        return;
    }
    if (!value.isEmpty())
        profile.fields.append({ name, value });
}

QString fieldValue(const RequestProfile &profile, const QByteArray &name)
{
    for (const auto &field : profile.fields)
        if (field.first.compare(name, Qt::CaseInsensitive) == 0)
            return field.second;
    return QString();
}

} // namespace

RequestProfile RequestProfile::current()
{
    const ProfileSettings settings = profileSettings();
    RequestProfile profile;

    setField(profile, "User-Agent", identityValue(settings, "user_agent", TARNEX_DEFAULT_USER_AGENT));

    QByteArray profileHeader = "x-wap-profile";
    const auto named = settings.values.constFind(QStringLiteral("uaprof_header"));
    if (named != settings.values.cend()) {
        const QString name = isList(*named) ? QString() : named->toString();
        if (acceptableName(settings, named.key(), name, true))
            profileHeader = name.toLatin1();
    }
    setField(profile, profileHeader, identityValue(settings, "profile_url", TARNEX_DEFAULT_PROFILE_URL));

    for (const QString &key : settings.order) {
        if (!key.startsWith(HeadersGroup))
            continue;
        const QString name = key.mid(HeadersGroup.size());
        if (!acceptableName(settings, key, name, false))
            continue;
        const QVariant value = settings.values.value(key);
        if (isList(value)) {
            // QSettings' INI reading makes unquoted commas a list; joining it
            // again would not give back the blanks around them.
            qWarning() << "[LIBTARNEX] Ignoring" << key << "of" << settings.path
                       << "since unquoted commas make it a list: put the value in double quotes";
            continue;
        }
        const QString text = value.toString();
        if (HttpSyntax::hasLineBreakOrNul(text)) {
            qWarning() << "[LIBTARNEX] Ignoring" << key << "of" << settings.path
                       << "since it contains a line break or NUL";
            continue;
        }
        setField(profile, name.toLatin1(), text);
    }

    profile.connectionClose = closeRequested(settings);
    if (profile.connectionClose)
        setField(profile, "Connection", QStringLiteral("close"));

    profile.userAgent = fieldValue(profile, "User-Agent");
    profile.profileUrl = fieldValue(profile, profileHeader);
    return profile;
}

void RequestProfile::debugIdentity() const
{
    // Braces: the debug macro is an if-else of its own.
    if (!userAgent.isEmpty()) {
        TARNEX_DEBUG << "D: [LIBTARNEX] User-Agent: " << userAgent;
    }
    if (!profileUrl.isEmpty()) {
        TARNEX_DEBUG << "D: [LIBTARNEX] Profile URL: " << profileUrl;
    }
}
