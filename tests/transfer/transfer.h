#ifndef TRANSFER_H
#define TRANSFER_H

// The four transfer classes behind one face (transfer, fault, endurance tests).
#include <QBuffer>
#include <QSignalSpy>
#include <QtTest>
#include <list>
#include <memory>

#include "mmsreceiver.h"
#include "mmsreceivernm.h"
#include "mmssender.h"
#include "mmssendernm.h"

inline QObject *createTransfer(bool send, bool nm)
{
    if (send)
        return nm ? static_cast<QObject *>(new MmsSenderNM) : new MmsSender;
    return nm ? static_cast<QObject *>(new MmsReceiverNM) : new MmsReceiver;
}

// A sender POSTs `body` (none when null), a receiver GETs; answers go to `device`.
struct Transfer
{
    Transfer(bool send, bool nm)
        : send(send)
        , object(createTransfer(send, nm))
        , done(object.get(), send ? SIGNAL(mmsSendComplete(int)) : SIGNAL(downloadCompleted(int)))
        , progress(object.get(), send ? SIGNAL(sendProgress(int, int)) : SIGNAL(downloadProgress(int, int)))
        , states(object.get(), SIGNAL(connectionStateChanged(int)))
    {
        // Progress reports up to the first end; a later one is a fault.
        const auto atEnd = [this] {
            if (progressAtEnd < 0)
                progressAtEnd = progress.count();
        };
        if (send)
            QObject::connect(
                static_cast<MmsSenderBase *>(object.get()), &MmsSenderBase::mmsSendComplete, atEnd);
        else
            QObject::connect(
                static_cast<MmsReceiverBase *>(object.get()), &MmsReceiverBase::downloadCompleted, atEnd);
    }

    void start(const QString &address, int port, QIODevice *device, const QByteArray &body = "pdu")
    {
        if (!send) {
            static_cast<MmsReceiverBase *>(object.get())->downloadMms(address, device);
            return;
        }
        auto *s = static_cast<MmsSenderBase *>(object.get());
        s->setMmsc(address);
        s->setMmscPort(port);
        QBuffer &pdu = pdus.emplace_back();
        pdu.setData(body);
        pdu.open(QIODevice::ReadOnly);
        s->startMmsSend(body.isNull() ? nullptr : &pdu, device);
    }
    void setProxy(const QString &host, int port)
    {
        object->setProperty("proxy", host);
        object->setProperty("proxyPort", port);
    }
    // Calls `f` with the object as its own base class (the two have no common one).
    template <typename F> void apply(F f)
    {
        if (send)
            f(static_cast<MmsSenderBase *>(object.get()));
        else
            f(static_cast<MmsReceiverBase *>(object.get()));
    }
    void abort()
    {
        apply([](auto *o) { o->abort(); });
    }
    void setLimits(int msecs, qint64 bytes = 0)
    {
        apply([=](auto *o) {
            o->setTransferTimeout(msecs);
            o->setMaxResponseSize(bytes);
        });
    }
    int code(int i = 0) const { return done.at(i).at(0).toInt(); }

    const bool send;
    std::list<QBuffer> pdus; // outlive the object that may still read them
    const std::unique_ptr<QObject> object;
    QSignalSpy done, progress, states;
    int progressAtEnd = -1;
};

struct Device : QBuffer
{
    Device() { open(QIODevice::WriteOnly); }
};

// A sequential source of the caller's own: nothing to read yet, no end
// announced, like a pipe from a hung process.
struct SilentDevice : QIODevice
{
    SilentDevice() { open(ReadOnly); }
    bool isSequential() const override { return true; }
    qint64 readData(char *, qint64) override { return ++reads, 0; }
    qint64 writeData(const char *, qint64) override { return -1; }
    int reads = 0;
};

struct Kind
{
    bool send, nm;
    const char *name;
};
const Kind Kinds[] = { { true, false, "MmsSender" }, { false, false, "MmsReceiver" },
    { true, true, "MmsSenderNM" }, { false, true, "MmsReceiverNM" } };

// Columns (send, nm); kindRow() starts a row "<class>, <tag>" of them.
inline void addKindColumns()
{
    QTest::addColumn<bool>("send");
    QTest::addColumn<bool>("nm");
}

inline QTestData &kindRow(const Kind &k, const QByteArray &tag)
{
    return QTest::addRow("%s, %s", k.name, tag.constData()) << k.send << k.nm;
}

// One row per class, named after it.
inline void addKinds()
{
    addKindColumns();
    for (const Kind &k : Kinds)
        QTest::newRow(k.name) << k.send << k.nm;
}

#define FETCH_TRANSFER(t)                                                                                    \
    QFETCH(bool, send);                                                                                      \
    QFETCH(bool, nm);                                                                                        \
    Transfer t(send, nm)

#endif // TRANSFER_H
