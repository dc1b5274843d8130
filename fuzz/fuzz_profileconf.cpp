// The settings file's INI reader against QSettings itself: the same bytes,
// written to a file for QSettings, must give the same keys and values.
//
// Input: the file's bytes. Skipped: values that QSettings decodes from
// serialised Qt types (@Variant, @DateTime, @Rect, @Size, @Point), which the
// library deliberately does not, a leading byte-order mark, which QSettings
// keeps in the first key while the library skips it, and under Qt 6 bytes
// above 0x7f, '%' and control characters but tab, CR and LF (see below).
// Keys are compared as QSettings looks them up (no empty, leading, trailing
// or doubled '/').

#include "iniparser_p.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QStringList>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

[[noreturn]] void fail(const char *what, const QString &key)
{
    std::fprintf(stderr, "invariant broken: %s (key \"%s\")\n", what, qPrintable(key));
    std::abort();
}

bool lookedUpAsIs(const QString &key)
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    // A key continued onto the next line ("key\<CR><LF>=value"): Qt 6 lists it
    // without the line break and then finds no value for it.
    if (key.contains(QLatin1Char('\r')) || key.contains(QLatin1Char('\n')))
        return false;
#endif
    return !key.isEmpty() && !key.startsWith(QLatin1Char('/')) && !key.endsWith(QLatin1Char('/'))
        && !key.contains(QLatin1String("//"));
}

bool sameValue(const QVariant &a, const QVariant &b)
{
    return a.userType() == b.userType() && a == b;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    const QByteArray data(reinterpret_cast<const char *>(bytes), int(size));
    for (const char *skip : { "@Variant(", "@DateTime(", "@Rect(", "@Size(", "@Point(" }) {
        if (data.contains(skip))
            return 0;
    }
    if (data.startsWith("\xef\xbb\xbf"))
        return 0;
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    // The library reads the file as Qt 5's QSettings does. Qt 6's reads it as
    // UTF-8, replacing what is not, trims more control characters (form feed,
    // vertical tab) around keys, and takes fewer %-escapes in keys ("%-5F").
    // Such inputs are only parsed here.
    const auto other = [](char c) {
        return uchar(c) >= 0x80 || c == '%' || (uchar(c) < 0x20 && c != '\t' && c != '\r' && c != '\n');
    };
    if (std::any_of(data.cbegin(), data.cend(), other)) {
        parseIniSettings(data);
        return 0;
    }
#endif

    static QTemporaryDir dir;
    static unsigned serial = 0;
    // A new name each time: QSettings caches a file by name, size and time.
    const QString path = dir.filePath(QString::number(++serial) + QStringLiteral(".conf"));
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size())
            fail("cannot write the input file", path);
    }

    const QVariantMap ours = parseIniSettings(data);
    {
        QSettings settings(path, QSettings::IniFormat);
        const QStringList theirs = settings.allKeys(); // reads every group
        for (const QString &key : theirs) {
            if (!lookedUpAsIs(key))
                continue;
            if (!ours.contains(key))
                fail("key QSettings has is missing", key);
            if (!sameValue(ours.value(key), settings.value(key)))
                fail("value differs", key);
        }
        for (auto it = ours.cbegin(); it != ours.cend(); ++it) {
            if (lookedUpAsIs(it.key()) && !theirs.contains(it.key()))
                fail("key QSettings does not have", it.key());
        }
    }
    QFile::remove(path);
    return 0;
}
