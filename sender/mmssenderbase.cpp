#include "mmssenderbase.h"

MmsSenderBase::MmsSenderBase()
    : QObject(nullptr)
{
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
