#include "platform/connectioncost.h"

#ifdef Q_OS_WIN
#include <initguid.h>
#include <netlistmgr.h>
#include <objbase.h>
#endif

namespace {

// The values of NLM_CONNECTION_COST, spelled here so that the rule is the
// same (and tested) on every system.
constexpr quint32 kUnrestricted = 0x1;
constexpr quint32 kFixed = 0x2;
constexpr quint32 kVariable = 0x4;
constexpr quint32 kOverDataLimit = 0x10000;
constexpr quint32 kRoaming = 0x40000;
constexpr quint32 kApproachingDataLimit = 0x80000;

} // namespace

ConnectionCost costFromFlags(quint32 flags)
{
    if (flags & (kFixed | kVariable | kOverDataLimit | kRoaming | kApproachingDataLimit))
        return ConnectionCost::Metered;
    if (flags & kUnrestricted)
        return ConnectionCost::Unrestricted;
    return ConnectionCost::Unknown;
}

bool downloadWaits(ConnectionCost cost, const QString &onMetered)
{
    return cost == ConnectionCost::Metered
        && onMetered.trimmed().compare(QLatin1String("download"), Qt::CaseInsensitive) != 0;
}

#ifdef Q_OS_WIN
static_assert(kUnrestricted == NLM_CONNECTION_COST_UNRESTRICTED && kFixed == NLM_CONNECTION_COST_FIXED
                  && kVariable == NLM_CONNECTION_COST_VARIABLE && kOverDataLimit == NLM_CONNECTION_COST_OVERDATALIMIT
                  && kRoaming == NLM_CONNECTION_COST_ROAMING
                  && kApproachingDataLimit == NLM_CONNECTION_COST_APPROACHINGDATALIMIT,
              "cost flags as the system defines them");

ConnectionCost systemConnectionCost()
{
    // The GUI thread's apartment is usually set up already (S_FALSE, or
    // another model): either way COM is usable, and only a call that
    // succeeded is balanced.
    const HRESULT init = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    ConnectionCost cost = ConnectionCost::Unknown;
    INetworkCostManager *manager = nullptr;
    if (SUCCEEDED(CoCreateInstance(CLSID_NetworkListManager, nullptr, CLSCTX_ALL, IID_INetworkCostManager,
                                   reinterpret_cast<void **>(&manager)))
        && manager) {
        DWORD flags = 0;
        if (SUCCEEDED(manager->GetCost(&flags, nullptr)))
            cost = costFromFlags(flags);
        manager->Release();
    }
    if (SUCCEEDED(init))
        CoUninitialize();
    return cost;
}
#else
ConnectionCost systemConnectionCost()
{
    return ConnectionCost::Unknown;
}
#endif
