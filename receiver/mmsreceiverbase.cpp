#include "mmsreceiverbase.h"

MmsReceiverBase::MmsReceiverBase()
    : QObject(nullptr)
{
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
