#include "mmsconnection.h"

MmsConnection::MmsConnection()
    : QObject(nullptr)
{
}

MmsConnection::~MmsConnection() = default;

QString MmsConnection::ipAddress()
{
    return m_ip_address;
}

void MmsConnection::setIpAddress(QString ipAddress)
{
    m_ip_address = ipAddress;
}

QString MmsConnection::primaryDNS()
{
    return m_primary_dns;
}

void MmsConnection::setPrimaryDNS(QString primaryDNS)
{
    m_primary_dns = primaryDNS;
}

QString MmsConnection::secondaryDNS()
{
    return m_secondary_dns;
}

void MmsConnection::setSecondaryDNS(QString secondaryDNS)
{
    m_secondary_dns = secondaryDNS;
}

QString MmsConnection::interfaceName()
{
    return m_interface_name;
}

void MmsConnection::setInterfaceName(QString interfaceName)
{
    m_interface_name = interfaceName;
}

QString MmsConnection::target()
{
    return m_target;
}

void MmsConnection::setTarget(const QString &target)
{
    m_target = target;
}
