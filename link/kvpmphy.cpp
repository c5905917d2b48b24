#include "kvpmphy.h"

#include "linklog.h"

Q_LOGGING_CATEGORY(lcLink, "mzt.link")

KVPmPhy::KVPmPhy(QObject* parent)
    : QThread(parent)
{
}

KVPmPhy::~KVPmPhy() = default;

void KVPmPhy::setMaster(LinkListener* master)
{
    m_master.store(master, std::memory_order_release);
}

bool KVPmPhy::send(ushort, const void*)
{
    qCDebug(lcLink) << "Data sent";
    return true;
}

bool KVPmPhy::connectDevice()
{
    m_stopRequest.store(false, std::memory_order_release);
    return true;
}

bool KVPmPhy::disconnectDevice()
{
    return true;
}
