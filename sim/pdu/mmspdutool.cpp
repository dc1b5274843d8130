// mmspdu: makes and shows MMS PDUs. The demo's sample message is made with it
// (examples/data/README.md says how).
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QTextStream>

#include "mmspdu.h"

namespace {

QTextStream &out()
{
    static QTextStream s(stdout);
    return s;
}

QTextStream &err()
{
    static QTextStream s(stderr);
    return s;
}

int dump(const QStringList &files)
{
    int rc = 0;
    for (const QString &name : files) {
        QFile f(name);
        if (!f.open(QIODevice::ReadOnly)) {
            err() << name << ": " << f.errorString() << Qt::endl;
            rc = 1;
            continue;
        }
        MmsPdu pdu;
        QString error;
        if (!pdu.decode(f.readAll(), &error)) {
            err() << name << ": not a valid MMS PDU: " << error << Qt::endl;
            rc = 1;
            continue;
        }
        out() << name << ":" << Qt::endl;
        for (const QString &line : pdu.describe())
            out() << "  " << line << Qt::endl;
        QList<MmsPart> parts;
        if (pdu.hasContentType && pdu.contentType().isMultipart() && pdu.parts(&parts)) {
            int i = 0;
            for (const MmsPart &p : parts) {
                out() << "  part " << ++i << ": " << QString::fromLatin1(p.contentType.toString()) << ", "
                      << p.data.size() << " bytes";
                if (!p.contentLocation.isEmpty())
                    out() << ", location " << QString::fromLatin1(p.contentLocation);
                if (!p.contentId.isEmpty())
                    out() << ", id " << QString::fromLatin1(p.contentId);
                out() << Qt::endl;
            }
        }
    }
    return rc;
}

int makeSendReq(const QCommandLineParser &args)
{
    MmsPdu pdu;
    pdu.setMessageType(MmsPdu::SendReq);
    pdu.setTransactionId(args.value(QStringLiteral("tid")).toUtf8());
    const QStringList v = args.value(QStringLiteral("mms-version")).split(QLatin1Char('.'));
    pdu.setVersion((v.value(0).toInt() << 4) | (v.size() > 1 ? v.value(1).toInt() : 0x0f));
    if (args.isSet(QStringLiteral("date")))
        pdu.setDate(args.value(QStringLiteral("date")).toLongLong());
    pdu.setFrom(args.value(QStringLiteral("from")));
    for (const QString &to : args.values(QStringLiteral("to")))
        pdu.addAddress(MmsPdu::To, to);
    if (args.isSet(QStringLiteral("subject")))
        pdu.setSubject(args.value(QStringLiteral("subject")));
    if (args.isSet(QStringLiteral("store")))
        pdu.setOctetField(MmsPdu::Store, MmsPdu::Yes);

    QList<MmsPart> parts;
    for (const QString &spec : args.values(QStringLiteral("part"))) {
        // TYPE:FILE, the file's own name becoming the part's location and id.
        const int colon = spec.indexOf(QLatin1Char(':'));
        if (colon <= 0) {
            err() << "--part wants TYPE:FILE, not " << spec << Qt::endl;
            return 2;
        }
        QFile f(spec.mid(colon + 1));
        if (!f.open(QIODevice::ReadOnly)) {
            err() << f.fileName() << ": " << f.errorString() << Qt::endl;
            return 1;
        }
        MmsPart part;
        part.contentType.mediaType = spec.left(colon).toLatin1();
        const QByteArray name = QFileInfo(f.fileName()).fileName().toUtf8();
        if (part.contentType.mediaType.startsWith("text/"))
            part.contentType.setParam("charset", "utf-8");
        part.contentType.setParam("name", name);
        part.contentLocation = name;
        part.contentId = '<' + name + '>';
        part.data = f.readAll();
        parts.append(part);
    }
    if (parts.isEmpty()) {
        err() << "a message needs at least one --part" << Qt::endl;
        return 2;
    }
    pdu.setContent(MmsContentType("application/vnd.wap.multipart.mixed"), MmsPart::encodeMultipart(parts));

    const QString problem = pdu.sendReqProblem();
    if (!problem.isEmpty()) {
        err() << "refusing to write a broken m-send-req: " << problem << Qt::endl;
        return 1;
    }
    QFile o(args.value(QStringLiteral("output")));
    const QByteArray bytes = pdu.encode();
    if (!o.open(QIODevice::WriteOnly | QIODevice::Truncate) || o.write(bytes) != bytes.size() || !o.flush()) {
        err() << o.fileName() << ": " << o.errorString() << Qt::endl;
        return 1;
    }
    out() << "wrote " << bytes.size() << " bytes to " << o.fileName() << Qt::endl;
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser args;
    args.setApplicationDescription(
        QStringLiteral("Makes and shows MMS PDUs.\n"
                       "  mmspdu dump FILE...                     show the header fields and parts\n"
                       "  mmspdu send-req -o FILE --to A --part TYPE:FILE...  make an m-send-req"));
    args.addHelpOption();
    args.addPositionalArgument(QStringLiteral("command"), QStringLiteral("dump or send-req"));
    args.addOptions({
        { { QStringLiteral("o"), QStringLiteral("output") }, QStringLiteral("PDU file to write"),
            QStringLiteral("file") },
        { QStringLiteral("tid"), QStringLiteral("transaction id"), QStringLiteral("id"),
            QStringLiteral("T0001") },
        { QStringLiteral("mms-version"), QStringLiteral("MMS version"), QStringLiteral("x.y"),
            QStringLiteral("1.2") },
        { QStringLiteral("from"), QStringLiteral("sender (default: inserted by the MMSC)"),
            QStringLiteral("address") },
        { QStringLiteral("to"), QStringLiteral("recipient, repeatable"), QStringLiteral("address") },
        { QStringLiteral("subject"), QStringLiteral("subject"), QStringLiteral("text") },
        { QStringLiteral("date"), QStringLiteral("date, seconds since 1970"), QStringLiteral("secs") },
        { QStringLiteral("store"), QStringLiteral("ask the MMSC to keep a copy (X-Mms-Store: Yes)") },
        { QStringLiteral("part"), QStringLiteral("content part, repeatable"), QStringLiteral("type:file") },
    });
    args.process(app);
    const QStringList pos = args.positionalArguments();
    const QString cmd = pos.value(0);
    if (cmd == QLatin1String("dump") && pos.size() > 1)
        return dump(pos.mid(1));
    if (cmd == QLatin1String("send-req") && args.isSet(QStringLiteral("output"))
        && args.isSet(QStringLiteral("to")))
        return makeSendReq(args);
    err() << args.helpText();
    return 2;
}
