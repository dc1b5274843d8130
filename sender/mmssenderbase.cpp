#include "mmssenderbase.h"

#include "transferoptions_p.h"

MmsSenderBase::MmsSenderBase()
    : QObject(nullptr)
{
    new TransferOptions(this);
}

MmsSenderBase::~MmsSenderBase() = default;

QString MmsSenderBase::mmsc() const
{
    return m_mmsc;
}

void MmsSenderBase::setMmsc(const QString &mmsc)
{
    m_mmsc = mmsc;
}

int MmsSenderBase::mmscPort() const
{
    return m_mmsc_port;
}

void MmsSenderBase::setMmscPort(int port)
{
    m_mmsc_port = port;
}

QString MmsSenderBase::proxy() const
{
    return m_proxy;
}

void MmsSenderBase::setProxy(const QString &proxy)
{
    m_proxy = proxy;
}

int MmsSenderBase::proxyPort()
{
    return m_proxy_port;
}

void MmsSenderBase::setProxyPort(int port)
{
    m_proxy_port = port;
}

void MmsSenderBase::setTransferTimeout(int msecs)
{
    TransferOptions::of(this)->setTransferTimeout(msecs);
}

int MmsSenderBase::transferTimeout() const
{
    return TransferOptions::of(this)->transferTimeout;
}

void MmsSenderBase::setMaxResponseSize(qint64 bytes)
{
    TransferOptions::of(this)->setMaxResponseSize(bytes);
}

qint64 MmsSenderBase::maxResponseSize() const
{
    return TransferOptions::of(this)->maxResponseSize;
}

void MmsSenderBase::setNetworkInterface(const QString &name)
{
    TransferOptions::of(this)->networkInterface = name;
}

QString MmsSenderBase::networkInterface() const
{
    return TransferOptions::of(this)->networkInterface;
}

void MmsSenderBase::setDnsServers(const QStringList &servers)
{
    TransferOptions::of(this)->dnsServers = servers;
}

QStringList MmsSenderBase::dnsServers() const
{
    return TransferOptions::of(this)->dnsServers;
}
