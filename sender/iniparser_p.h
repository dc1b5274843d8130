#ifndef INIPARSER_P_H
#define INIPARSER_P_H

#include <QByteArray>
#include <QStringList>
#include <QVariantMap>

// Reads INI text as Qt's QSettings::IniFormat does, from bytes already in
// memory, so the settings file is read by code that bounds what it reads.
//
// Keys outside any group (or in [General]) keep their name, others become
// "group/key"; a later key replaces an earlier one. A value is a QString, a
// QStringList for an unquoted comma-separated list, a QByteArray for
// @ByteArray(...), or invalid for @Invalid(). Text is Latin-1, or UTF-8 when
// the file starts with a byte-order mark (which is skipped).
//
// Serialised Qt types (@Variant, @DateTime, @Rect, @Size, @Point) are not
// decoded: they read as invalid, which no identity value has a use for, and
// QDataStream is not fed bytes from a file anybody may have written.
//
// `order`, when given, receives each key once, group after group (sorted by
// name), the keys of one group in the order the file first gives them: for
// settings whose order matters (header fields).
QVariantMap parseIniSettings(const QByteArray &data, QStringList *order = nullptr);

#endif // INIPARSER_P_H
