#include "mmspdu.h"

#include "wspreader.h"
#include "wspwriter.h"

namespace {

bool failWith(QString *error, const QString &text)
{
    if (error)
        *error = text;
    return false;
}

QByteArray encodedText(const QByteArray &text)
{
    WspWriter w;
    w.textString(text);
    return w.data();
}

QByteArray encodedString(const QString &text)
{
    WspWriter w;
    w.encodedString(text);
    return w.data();
}

QByteArray octetValue(int v)
{
    return QByteArray(1, char(quint8(v)));
}

QByteArray textOf(const QByteArray &raw)
{
    WspReader r(raw);
    QByteArray t = r.textString();
    return r.ok() ? t : QByteArray();
}

QString encodedStringOf(const QByteArray &raw)
{
    WspReader r(raw);
    QString t = r.encodedString();
    return r.ok() ? t : QString();
}

} // namespace

bool MmsPdu::decode(const QByteArray &pdu, QString *error)
{
    fields.clear();
    hasContentType = false;
    contentTypeRaw.clear();
    body.clear();

    WspReader r(pdu);
    if (r.atEnd())
        return failWith(error, QStringLiteral("empty PDU"));
    while (!r.atEnd()) {
        const int at = r.pos();
        quint8 f = r.peek();
        if (f >= 0x80) {
            r.octet();
            const quint8 code = f & 0x7f;
            if (code == ContentType) {
                const int start = r.pos();
                MmsContentType ct = MmsContentType::read(r);
                if (!r.ok() || !ct.isValid())
                    return failWith(error, QStringLiteral("malformed Content-Type at offset %1").arg(at));
                hasContentType = true;
                contentTypeRaw = pdu.mid(start, r.pos() - start);
                body = pdu.mid(r.pos());
                break;
            }
            HeaderField field;
            field.code = code;
            field.value = r.rawValue();
            if (!r.ok())
                return failWith(
                    error, QStringLiteral("truncated %1 field at offset %2").arg(fieldName(code)).arg(at));
            fields.append(field);
        } else if (f >= 32) {
            HeaderField field;
            field.name = r.textString();
            const int start = r.pos();
            r.textString();
            if (!r.ok())
                return failWith(error, QStringLiteral("truncated application header at offset %1").arg(at));
            field.value = pdu.mid(start, r.pos() - start);
            fields.append(field);
        } else {
            return failWith(error,
                QStringLiteral("octet 0x%1 at offset %2 is not a header field")
                    .arg(f, 2, 16, QLatin1Char('0'))
                    .arg(at));
        }
    }
    if (fields.isEmpty() || fields.first().code != MessageTypeField)
        return failWith(error, QStringLiteral("the PDU does not begin with X-Mms-Message-Type"));
    if (messageType() < 0)
        return failWith(error, QStringLiteral("malformed X-Mms-Message-Type"));
    if (hasContentType && contentType().isMultipart()) {
        QString why;
        if (!MmsPart::decodeMultipart(body, nullptr, &why))
            return failWith(error, why);
    }
    return true;
}

QByteArray MmsPdu::encode() const
{
    WspWriter w;
    for (const HeaderField &f : fields) {
        if (f.code) {
            w.shortInteger(f.code);
        } else {
            w.textString(f.name);
        }
        w.bytes(f.value);
    }
    if (hasContentType) {
        w.shortInteger(ContentType);
        w.bytes(contentTypeRaw);
        w.bytes(body);
    }
    return w.data();
}

bool MmsPdu::has(quint8 code) const
{
    for (const HeaderField &f : fields) {
        if (f.code == code)
            return true;
    }
    return false;
}

QByteArray MmsPdu::raw(quint8 code) const
{
    for (const HeaderField &f : fields) {
        if (f.code == code)
            return f.value;
    }
    return QByteArray();
}

QList<QByteArray> MmsPdu::rawAll(quint8 code) const
{
    QList<QByteArray> out;
    for (const HeaderField &f : fields) {
        if (f.code == code)
            out.append(f.value);
    }
    return out;
}

void MmsPdu::setRaw(quint8 code, const QByteArray &value)
{
    for (HeaderField &f : fields) {
        if (f.code == code) {
            f.value = value;
            return;
        }
    }
    HeaderField field;
    field.code = code;
    field.value = value;
    // Type, transaction id and version lead every PDU, in that order.
    int at = fields.size();
    if (code == MessageTypeField) {
        at = 0;
    } else if (code == TransactionId || code == MmsVersion) {
        at = 0;
        while (at < fields.size()
            && (fields.at(at).code == MessageTypeField
                || (code == MmsVersion && fields.at(at).code == TransactionId)))
            ++at;
    }
    fields.insert(at, field);
}

void MmsPdu::append(quint8 code, const QByteArray &value)
{
    HeaderField field;
    field.code = code;
    field.value = value;
    fields.append(field);
}

void MmsPdu::remove(quint8 code)
{
    for (int i = fields.size() - 1; i >= 0; --i) {
        if (fields.at(i).code == code)
            fields.removeAt(i);
    }
}

int MmsPdu::octetField(quint8 code) const
{
    QByteArray v = raw(code);
    if (v.size() != 1 || quint8(v.at(0)) < 0x80)
        return -1;
    return quint8(v.at(0));
}

void MmsPdu::setOctetField(quint8 code, int value)
{
    setRaw(code, octetValue(value));
}

int MmsPdu::messageType() const
{
    return octetField(MessageTypeField);
}

void MmsPdu::setMessageType(int type)
{
    setOctetField(MessageTypeField, type);
}

QByteArray MmsPdu::transactionId() const
{
    return textOf(raw(TransactionId));
}

void MmsPdu::setTransactionId(const QByteArray &id)
{
    setRaw(TransactionId, encodedText(id));
}

int MmsPdu::version() const
{
    int v = octetField(MmsVersion);
    return v < 0 ? -1 : (v & 0x7f);
}

void MmsPdu::setVersion(int version)
{
    setOctetField(MmsVersion, 0x80 | (version & 0x7f));
}

QString MmsPdu::versionText() const
{
    int v = version();
    if (v < 0)
        return QString();
    if ((v & 0x0f) == 0x0f)
        return QString::number(v >> 4);
    return QStringLiteral("%1.%2").arg(v >> 4).arg(v & 0x0f);
}

QByteArray MmsPdu::messageId() const
{
    return textOf(raw(MessageId));
}

void MmsPdu::setMessageId(const QByteArray &id)
{
    setRaw(MessageId, encodedText(id));
}

QByteArray MmsPdu::contentLocation() const
{
    return textOf(raw(ContentLocation));
}

void MmsPdu::setContentLocation(const QByteArray &url)
{
    setRaw(ContentLocation, encodedText(url));
}

int MmsPdu::responseStatus() const
{
    return octetField(ResponseStatus);
}

void MmsPdu::setResponseStatus(int status)
{
    setOctetField(ResponseStatus, status);
}

QString MmsPdu::responseText() const
{
    return encodedStringOf(raw(ResponseText));
}

void MmsPdu::setResponseText(const QString &text)
{
    setRaw(ResponseText, encodedString(text));
}

qint64 MmsPdu::date() const
{
    if (!has(Date))
        return -1;
    QByteArray v = raw(Date);
    WspReader r(v);
    quint64 secs = r.longInteger();
    return r.ok() && r.atEnd() ? qint64(secs) : -1;
}

void MmsPdu::setDate(qint64 secs)
{
    WspWriter w;
    w.longInteger(quint64(secs));
    setRaw(Date, w.data());
}

QString MmsPdu::from(bool *insert) const
{
    if (insert)
        *insert = false;
    QByteArray v = raw(From);
    WspReader r(v);
    int len = r.valueLength();
    if (!r.ok() || len != r.remaining() || len == 0)
        return QString();
    quint8 token = r.octet();
    if (token == 0x81) {
        if (insert)
            *insert = true;
        return QString();
    }
    if (token != 0x80)
        return QString();
    QString addr = r.encodedString();
    return r.ok() ? addr : QString();
}

void MmsPdu::setFrom(const QString &address)
{
    WspWriter inner;
    if (address.isEmpty()) {
        inner.octet(0x81); // Insert-address-token
    } else {
        inner.octet(0x80); // Address-present-token
        inner.encodedString(address);
    }
    WspWriter w;
    w.valueLength(inner.size());
    w.bytes(inner.data());
    setRaw(From, w.data());
}

QStringList MmsPdu::addresses(quint8 code) const
{
    QStringList out;
    for (const QByteArray &v : rawAll(code))
        out.append(encodedStringOf(v));
    return out;
}

void MmsPdu::addAddress(quint8 code, const QString &address)
{
    // Recipients follow the other recipients of their kind; the first one of a
    // kind goes to the end like any other field.
    int at = -1;
    for (int i = 0; i < fields.size(); ++i) {
        if (fields.at(i).code == code)
            at = i;
    }
    HeaderField field;
    field.code = code;
    field.value = encodedString(address);
    if (at < 0)
        fields.append(field);
    else
        fields.insert(at + 1, field);
}

QString MmsPdu::subject() const
{
    return encodedStringOf(raw(Subject));
}

void MmsPdu::setSubject(const QString &subject)
{
    setRaw(Subject, encodedString(subject));
}

MmsContentType MmsPdu::contentType() const
{
    if (!hasContentType)
        return MmsContentType();
    WspReader r(contentTypeRaw);
    return MmsContentType::read(r);
}

void MmsPdu::setContent(const MmsContentType &type, const QByteArray &content)
{
    WspWriter w;
    type.write(w);
    contentTypeRaw = w.data();
    body = content;
    hasContentType = true;
}

bool MmsPdu::parts(QList<MmsPart> *out, QString *error) const
{
    if (!hasContentType || !contentType().isMultipart())
        return failWith(error, QStringLiteral("not a multipart message"));
    return MmsPart::decodeMultipart(body, out, error);
}

QString MmsPdu::sendReqProblem() const
{
    if (messageType() != SendReq)
        return QStringLiteral("the PDU is an %1, not an m-send-req").arg(messageTypeName(messageType()));
    if (!has(TransactionId) || transactionId().isEmpty())
        return QStringLiteral("X-Mms-Transaction-ID is missing");
    if (version() < 0 || (version() >> 4) != 1)
        return QStringLiteral("X-Mms-MMS-Version is missing or not 1.x");
    if (!has(From) || raw(From).size() < 2)
        return QStringLiteral("From is missing");
    if (!has(To) && !has(Cc) && !has(Bcc))
        return QStringLiteral("the message has no recipient");
    if (!hasContentType)
        return QStringLiteral("Content-Type is missing");
    QString why;
    if (contentType().isMultipart() && !MmsPart::decodeMultipart(body, nullptr, &why))
        return why;
    return QString();
}

QString MmsPdu::messageTypeName(int type)
{
    switch (type) {
    case SendReq:
        return QStringLiteral("m-send-req");
    case SendConf:
        return QStringLiteral("m-send-conf");
    case NotificationInd:
        return QStringLiteral("m-notification-ind");
    case NotifyRespInd:
        return QStringLiteral("m-notifyresp-ind");
    case RetrieveConf:
        return QStringLiteral("m-retrieve-conf");
    case AcknowledgeInd:
        return QStringLiteral("m-acknowledge-ind");
    case DeliveryInd:
        return QStringLiteral("m-delivery-ind");
    default:
        return QStringLiteral("type 0x%1").arg(type, 2, 16, QLatin1Char('0'));
    }
}

QString MmsPdu::statusName(int status)
{
    switch (status) {
    case Ok:
        return QStringLiteral("Ok");
    case ErrorUnspecified:
        return QStringLiteral("Error-unspecified");
    case ErrorServiceDenied:
        return QStringLiteral("Error-service-denied");
    case ErrorMessageFormatCorrupt:
        return QStringLiteral("Error-message-format-corrupt");
    case ErrorSendingAddressUnresolved:
        return QStringLiteral("Error-sending-address-unresolved");
    case ErrorMessageNotFound:
        return QStringLiteral("Error-message-not-found");
    case ErrorNetworkProblem:
        return QStringLiteral("Error-network-problem");
    case ErrorContentNotAccepted:
        return QStringLiteral("Error-content-not-accepted");
    case ErrorUnsupportedMessage:
        return QStringLiteral("Error-unsupported-message");
    default:
        if (status >= 0xc0 && status < 0xe0)
            return QStringLiteral("Error-transient-%1").arg(status);
        if (status >= 0xe0)
            return QStringLiteral("Error-permanent-%1").arg(status);
        return QStringLiteral("status %1").arg(status);
    }
}

QString MmsPdu::fieldName(quint8 code)
{
    switch (code) {
    case Bcc:
        return QStringLiteral("Bcc");
    case Cc:
        return QStringLiteral("Cc");
    case ContentLocation:
        return QStringLiteral("X-Mms-Content-Location");
    case ContentType:
        return QStringLiteral("Content-Type");
    case Date:
        return QStringLiteral("Date");
    case DeliveryReport:
        return QStringLiteral("X-Mms-Delivery-Report");
    case DeliveryTime:
        return QStringLiteral("X-Mms-Delivery-Time");
    case Expiry:
        return QStringLiteral("X-Mms-Expiry");
    case From:
        return QStringLiteral("From");
    case MessageClass:
        return QStringLiteral("X-Mms-Message-Class");
    case MessageId:
        return QStringLiteral("Message-ID");
    case MessageTypeField:
        return QStringLiteral("X-Mms-Message-Type");
    case MmsVersion:
        return QStringLiteral("X-Mms-MMS-Version");
    case MessageSize:
        return QStringLiteral("X-Mms-Message-Size");
    case Priority:
        return QStringLiteral("X-Mms-Priority");
    case ReadReport:
        return QStringLiteral("X-Mms-Read-Report");
    case ReportAllowed:
        return QStringLiteral("X-Mms-Report-Allowed");
    case ResponseStatus:
        return QStringLiteral("X-Mms-Response-Status");
    case ResponseText:
        return QStringLiteral("X-Mms-Response-Text");
    case SenderVisibility:
        return QStringLiteral("X-Mms-Sender-Visibility");
    case Status:
        return QStringLiteral("X-Mms-Status");
    case Subject:
        return QStringLiteral("Subject");
    case To:
        return QStringLiteral("To");
    case TransactionId:
        return QStringLiteral("X-Mms-Transaction-ID");
    case RetrieveStatus:
        return QStringLiteral("X-Mms-Retrieve-Status");
    case RetrieveText:
        return QStringLiteral("X-Mms-Retrieve-Text");
    case Store:
        return QStringLiteral("X-Mms-Store");
    case MmState:
        return QStringLiteral("X-Mms-MM-State");
    case MmFlags:
        return QStringLiteral("X-Mms-MM-Flags");
    case StoreStatus:
        return QStringLiteral("X-Mms-Store-Status");
    default:
        return QStringLiteral("field 0x%1").arg(code, 2, 16, QLatin1Char('0'));
    }
}

QStringList MmsPdu::describe() const
{
    QStringList out;
    for (const HeaderField &f : fields) {
        QString value;
        switch (f.code) {
        case 0:
            out.append(
                QString::fromLatin1(f.name) + QStringLiteral(": ") + QString::fromUtf8(textOf(f.value)));
            continue;
        case MessageTypeField:
            value = messageTypeName(messageType());
            break;
        case TransactionId:
        case MessageId:
        case ContentLocation:
            value = QString::fromUtf8(textOf(f.value));
            break;
        case MmsVersion:
            value = versionText();
            break;
        case ResponseStatus:
            value = statusName(responseStatus());
            break;
        case From: {
            bool insert = false;
            QString addr = from(&insert);
            value = insert ? QStringLiteral("(inserted by the MMSC)") : addr;
            break;
        }
        case To:
        case Cc:
        case Bcc:
        case Subject:
        case ResponseText:
        case RetrieveText:
            value = encodedStringOf(f.value);
            break;
        case Date:
            value = QString::number(date());
            break;
        case DeliveryReport:
        case ReadReport:
        case Store:
            value = !f.value.isEmpty() && quint8(f.value.at(0)) == Yes ? QStringLiteral("Yes")
                                                                       : QStringLiteral("No");
            break;
        case StoreStatus:
            value = octetField(StoreStatus) == 0x80 ? QStringLiteral("Success") : QStringLiteral("Error");
            break;
        default:
            value = QStringLiteral("(%1 bytes)").arg(f.value.size());
            break;
        }
        out.append(fieldName(f.code) + QStringLiteral(": ") + value);
    }
    if (hasContentType)
        out.append(QStringLiteral("Content-Type: ") + QString::fromLatin1(contentType().toString())
            + QStringLiteral(" (%1 bytes of content)").arg(body.size()));
    return out;
}
