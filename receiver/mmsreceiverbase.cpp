#include "mmsreceiverbase.h"

#include "transferoptions_p.h"

MmsReceiverBase::MmsReceiverBase()
    : QObject(nullptr)
{
    new TransferOptions(this);
}

MmsReceiverBase::~MmsReceiverBase() = default;

QString MmsReceiverBase::proxy() const
{
    return m_proxy;
}

void MmsReceiverBase::setProxy(const QString &proxy)
{
    m_proxy = proxy;
}

int MmsReceiverBase::proxyPort()
{
    return m_proxy_port;
}

void MmsReceiverBase::setProxyPort(int port)
{
    m_proxy_port = port;
}

void MmsReceiverBase::setTransferTimeout(int msecs)
{
    TransferOptions::of(this)->setTransferTimeout(msecs);
}

int MmsReceiverBase::transferTimeout() const
{
    return TransferOptions::of(this)->transferTimeout;
}

void MmsReceiverBase::setMaxResponseSize(qint64 bytes)
{
    TransferOptions::of(this)->setMaxResponseSize(bytes);
}

qint64 MmsReceiverBase::maxResponseSize() const
{
    return TransferOptions::of(this)->maxResponseSize;
}

void MmsReceiverBase::setNetworkInterface(const QString &name)
{
    TransferOptions::of(this)->networkInterface = name;
}

QString MmsReceiverBase::networkInterface() const
{
    return TransferOptions::of(this)->networkInterface;
}

void MmsReceiverBase::setDnsServers(const QStringList &servers)
{
    TransferOptions::of(this)->dnsServers = servers;
}

QStringList MmsReceiverBase::dnsServers() const
{
    return TransferOptions::of(this)->dnsServers;
}
