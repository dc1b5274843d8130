#ifndef MMSPDU_H
#define MMSPDU_H

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include "mmscontenttype.h"
#include "mmspart.h"

// An MMS PDU of the OMA MMS encapsulation: header fields in their encoded
// form and, for the message types that carry one, the content type and body.
//
// Fields are kept as the raw bytes of their values, in the order they came,
// so a PDU decoded and encoded again is byte-identical, also for fields this
// class has no typed view of. The typed accessors decode and encode on the
// fly.
class MmsPdu
{
public:
    enum MessageType {
        SendReq = 0x80,
        SendConf = 0x81,
        NotificationInd = 0x82,
        NotifyRespInd = 0x83,
        RetrieveConf = 0x84,
        AcknowledgeInd = 0x85,
        DeliveryInd = 0x86
    };

    // Header field codes (without the high bit that marks them on the wire).
    enum Field {
        Bcc = 0x01,
        Cc = 0x02,
        ContentLocation = 0x03,
        ContentType = 0x04,
        Date = 0x05,
        DeliveryReport = 0x06,
        DeliveryTime = 0x07,
        Expiry = 0x08,
        From = 0x09,
        MessageClass = 0x0a,
        MessageId = 0x0b,
        MessageTypeField = 0x0c,
        MmsVersion = 0x0d,
        MessageSize = 0x0e,
        Priority = 0x0f,
        ReadReport = 0x10,
        ReportAllowed = 0x11,
        ResponseStatus = 0x12,
        ResponseText = 0x13,
        SenderVisibility = 0x14,
        Status = 0x15,
        Subject = 0x16,
        To = 0x17,
        TransactionId = 0x18,
        RetrieveStatus = 0x19,
        RetrieveText = 0x1a,
        Store = 0x22,
        MmState = 0x23,
        MmFlags = 0x24,
        StoreStatus = 0x25
    };

    enum Status {
        Ok = 0x80,
        ErrorUnspecified = 0x81,
        ErrorServiceDenied = 0x82,
        ErrorMessageFormatCorrupt = 0x83,
        ErrorSendingAddressUnresolved = 0x84,
        ErrorMessageNotFound = 0x85,
        ErrorNetworkProblem = 0x86,
        ErrorContentNotAccepted = 0x87,
        ErrorUnsupportedMessage = 0x88
    };

    enum Boolean { Yes = 0x80, No = 0x81 };

    struct HeaderField
    {
        quint8 code = 0; // 0 for an application header, which has a name
        QByteArray name; // application headers only
        QByteArray value; // encoded value bytes
    };

    // Decodes a whole PDU. Fails on anything malformed, including a multipart
    // body whose entries do not add up; never reads out of bounds.
    bool decode(const QByteArray &pdu, QString *error = nullptr);
    QByteArray encode() const;

    QList<HeaderField> fields;
    bool hasContentType = false;
    QByteArray contentTypeRaw; // encoded Content-Type value; the body follows it
    QByteArray body;

    // Raw access by field code.
    bool has(quint8 code) const;
    QByteArray raw(quint8 code) const;
    QList<QByteArray> rawAll(quint8 code) const;
    // Replaces the first field of that code in place, or inserts it: the three
    // fields every PDU begins with go to their fixed places (type, transaction
    // id, version), the rest after them.
    void setRaw(quint8 code, const QByteArray &value);
    void append(quint8 code, const QByteArray &value);
    void remove(quint8 code);

    // Typed views; -1 or an empty value when the field is absent or malformed.
    int messageType() const;
    void setMessageType(int type);
    QByteArray transactionId() const;
    void setTransactionId(const QByteArray &id);
    int version() const; // (major << 4) | minor, e.g. 0x12 for 1.2
    void setVersion(int version);
    QString versionText() const;
    QByteArray messageId() const;
    void setMessageId(const QByteArray &id);
    QByteArray contentLocation() const;
    void setContentLocation(const QByteArray &url);
    int responseStatus() const;
    void setResponseStatus(int status);
    QString responseText() const;
    void setResponseText(const QString &text);
    qint64 date() const; // seconds since the epoch
    void setDate(qint64 secs);
    // The sender's address, or empty with *insert set when the MMSC is asked
    // to insert it.
    QString from(bool *insert = nullptr) const;
    void setFrom(const QString &address); // empty: ask the MMSC to insert it
    QStringList addresses(quint8 code) const; // To, Cc or Bcc
    void addAddress(quint8 code, const QString &address);
    QString subject() const;
    void setSubject(const QString &subject);
    int octetField(quint8 code) const; // single-octet values (Yes/No, status...)
    void setOctetField(quint8 code, int value);

    MmsContentType contentType() const;
    void setContent(const MmsContentType &type, const QByteArray &body);
    // The entries of a multipart body.
    bool parts(QList<MmsPart> *out, QString *error = nullptr) const;

    // Why this PDU is not an m-send-req an MMSC can accept; empty when it is.
    QString sendReqProblem() const;

    static QString messageTypeName(int type);
    static QString statusName(int status);
    static QString fieldName(quint8 code);
    // One line per field, for people to read.
    QStringList describe() const;
};

#endif // MMSPDU_H
